// The strip chart control, and what it shares with the XY graph: the control lookup of the
// services, ticks and clipped lines.
#pragma once

#include "chart.h"
#include "data_values.h"
#include "frame_clock.h"
#include "internal.h"
#include "panel.h"
#include "widgets.h"

#include <QElapsedTimer>
#include <QImage>
#include <QPolygonF>
#include <QRgb>
#include <QTimer>
#include <QVector>
#include <QWidget>

#include <functional>

class QPainter;

// The panel's control as a Control, or the panel service's error: UIE_ATTRIBUTE for a control of
// another class.
template <typename Control> int FindPanelControl(int panel, int control, Control **found) {
    int error = 0;
    QWidget *widget = PanelControlWidget(panel, control, &error);
    if (!widget)
        return error;
    *found = qobject_cast<Control *>(widget);
    return *found ? 0 : UIE_ATTRIBUTE;
}

// About maxCount round values (1, 2 or 5 times a power of ten) from min to max.
QVector<double> AxisTicks(double min, double max, int maxCount);
// The parts of the polyline through points that lie inside bounds, each segment cut at its
// edges; a non-finite point breaks the line.
QVector<QPolygonF> ClipPolyline(const QVector<QPointF> &points, const QRectF &bounds);

// A chart of the last pointsPerScreen time steps of 1 to 16 traces. Trace numbers count from 1.
// Scroll modes: continuous fills the screen from the left and then scrolls, the newest point at
// the right edge; sweep writes each point at the next position from the left, wrapping round
// over the oldest, with a cursor line where the next one goes; block fills the screen and then
// starts a fresh, empty one.
class KvStripChart : public QWidget, public KvControl {
    Q_OBJECT
    Q_PROPERTY(double yMin READ yMin WRITE setYMin)
    Q_PROPERTY(double yMax READ yMax WRITE setYMax)
  public:
    static constexpr int MAX_TRACES = 16;
    static constexpr int MAX_POINTS_PER_SCREEN = 10000;

    explicit KvStripChart(QWidget *parent = nullptr);

    // ATTR_NUM_TRACES, ATTR_POINTS_PER_SCREEN (each clears the chart when it changes),
    // ATTR_SCROLL_MODE (keeps the points) and ATTR_CHART_FROZEN (non-zero freezes).
    int setIntAttribute(int attribute, int value) override;

    // Appends steps time steps; valueAt(step, index) gives the value at position index (0 ..
    // traceCount-1) of a step and is asked only for the steps that stay on the screen.
    void appendSteps(qint64 steps, const std::function<double(qint64 step, int index)> &valueAt);
    // The traces' values interleaved, whole time steps; a trailing partial step is ignored.
    void append(const QVector<double> &interleaved);
    void clear();

    void setTraceColour(int trace, QRgb colour);
    QRgb traceColour(int trace) const;
    double yMin() const { return live_.yMin; }
    double yMax() const { return live_.yMax; }
    void setYMin(double value);
    void setYMax(double value);

    int traceCount() const { return live_.traces; }
    int pointsPerScreen() const { return live_.points; }
    int scrollMode() const { return live_.scrollMode; }
    // While frozen the chart keeps painting the picture it showed when it froze; appends and
    // settings go on changing the present data (and points()) without a repaint.
    bool frozen() const { return frozen_; }
    // The points of one trace now on the screen, oldest first.
    QVector<double> points(int trace) const;
    // The same points as they stand on the screen from its left edge; in sweep mode the newest
    // ones are left of the older ones.
    QVector<double> pointsLeftToRight(int trace) const;
    int paintCount() const { return throttle_.paintCount(); }
    int frameInterval() const { return throttle_.frameInterval(); }

    QSize sizeHint() const override { return {560, 320}; }

  protected:
    void paintEvent(QPaintEvent *event) override;

  private:
    // Consecutive screen positions holding the points of consecutive slots.
    struct Run {
        int firstPosition;
        int firstSlot;
        int count;
    };
    // Everything the picture is drawn from, so that a frozen chart is a copy of it.
    struct Screen {
        int traces = 1;
        int points = 100;
        int scrollMode = VAL_CONTINUOUS;
        // Time step s of the stream sits at slot s mod points, so the sweep position and the
        // block start fall out of the next slot and the fill count.
        QVector<double> values;
        int nextSlot = 0;
        int filled = 0;
        QRgb colours[MAX_TRACES] = {};
        double yMin = 0;
        double yMax = 4096;

        // Left to right.
        QVector<Run> runs() const;
        int shownCount() const;
        int oldestSlot() const;
        double value(int slot, int trace) const { return values[slot * traces + trace - 1]; }
    };

    void reshape(int traces, int points);
    // A repaint, unless the picture is frozen: of the whole picture, or of what the data changed.
    void changed();
    void dataChanged();
    // Brings the changes since the last paint to the screen: when the screen only moved on by
    // some time steps, the pixels already there scroll and only the new steps are drawn.
    void showChanges();
    // How many positions the screen moved on since it was painted; 0 when it changed otherwise.
    int stepsMovedOn() const;
    // Tick labels and frame, and the plot area inside the frame, a whole number of pixels a time
    // step wide where the screen is wide enough. Returns the plot area.
    QRectF paintBackground(QPainter &painter, double low, double high, int points);
    // The traces and the vertical grid of the positions the region covers.
    void paintTraces(QPainter &painter, const Screen &s, const QRectF &area, const QRect &region,
                     double low, double high);

    struct BackgroundKey {
        QSize size;
        double low = 0;
        double high = 0;
        qint64 palette = 0;
        QString font;
        int points = 0; // the plot area is a whole number of pixels a time step wide
        bool operator==(const BackgroundKey &o) const {
            return size == o.size && low == o.low && high == o.high && palette == o.palette &&
                   font == o.font && points == o.points;
        }
    };
    QImage background_;
    BackgroundKey backgroundKey_;
    QRectF backgroundArea_;
    QVector<double> gridLines_; // the horizontal grid's lines in the image, from the top down

    Screen live_;
    Screen shown_; // the picture while frozen
    bool frozen_ = false;
    // What the paints draw: the data as they were at the last frame.
    Screen pictured_;
    // Until a paint has drawn the whole of pictured_: no scrolling of what is on the screen.
    bool wholePicturePending_ = true;
    // The vertical grid moves with the data: the positions scrolled so far.
    qint64 scrolled_ = 0;
    RepaintThrottle throttle_;
};
