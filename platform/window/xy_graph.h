// The XY graph control: plots of x/y values with their styles over a manual or fitted X axis and
// left Y axis, each axis with ticks, labels and a name.
#pragma once

#include "graph.h"
#include "strip_chart.h"
#include "widgets.h"

#include <QPair>
#include <QRgb>
#include <QString>
#include <QVector>
#include <QWidget>

class KvXYGraph : public QWidget, public KvControl {
    Q_OBJECT
    Q_PROPERTY(QString xName READ xName WRITE setXName)
    Q_PROPERTY(QString yName READ yName WRITE setYName)
  public:
    struct Plot {
        int handle = 0;
        QVector<double> x;
        QVector<double> y;
        int plotStyle = VAL_THIN_LINE;
        int pointStyle = VAL_SIMPLE_DOT;
        int lineStyle = VAL_SOLID;
        // Every pointFrequency-th point carries a dot where the style draws points.
        int pointFrequency = 1;
        QRgb colour = 0;
    };

    explicit KvXYGraph(QWidget *parent = nullptr);

    // ATTR_YNAME.
    int setTextAttribute(int attribute, const QString &value) override;

    // Draws plot over the earlier ones. Returns its handle (> 0, never reused by this graph), or
    // UIE_VALUE_TYPE for x and y of different lengths, a style not in graph.h, a point frequency
    // below 1 or a colour outside 0x000000..0xFFFFFF. The handle field is ignored.
    int addPlot(Plot plot);
    // false when no plot has that handle.
    bool deletePlot(int handle);
    void deleteAllPlots();
    // axis VAL_XAXIS or VAL_LEFT_YAXIS; VAL_MANUAL takes min < max, VAL_AUTOSCALE fits the
    // plots' data and ignores min and max. Returns 0 or UIE_VALUE_TYPE.
    int setAxisScaling(int axis, int mode, double min, double max);

    // In drawing order.
    QVector<Plot> plots() const { return plots_; }
    // The range drawn now: the manual one, or the one fitted to the data.
    QPair<double, double> axisRange(int axis) const;
    int axisScalingMode(int axis) const;
    QString xName() const { return xName_; }
    void setXName(const QString &name);
    QString yName() const { return yName_; }
    void setYName(const QString &name);
    int paintCount() const { return throttle_.paintCount(); }

    QSize sizeHint() const override { return {560, 320}; }

  protected:
    void paintEvent(QPaintEvent *event) override;

  private:
    struct AxisScale {
        int mode = VAL_MANUAL;
        double min = 0;
        double max = 100;
    };

    QVector<Plot> plots_;
    int nextHandle_ = 1;
    AxisScale axes_[2];
    QString xName_;
    QString yName_;
    RepaintThrottle throttle_;
};
