// The XY graph control: plot bookkeeping, axis scaling and drawing.
#include "xy_graph.h"

#include "panel.h"

#include <QPainter>

#include <algorithm>
#include <cmath>

namespace {

const double THIN_WIDTH = 1.0;
const double FAT_WIDTH = 3.0;
const double DOT_RADIUS = 2.0;
const int TICK_LENGTH = 4;
const int GAP = 4;

bool knownPlotStyle(int style) {
    return style == VAL_THIN_LINE || style == VAL_SCATTER || style == VAL_CONNECTED_POINTS ||
           style == VAL_FAT_LINE;
}

Qt::PenStyle penStyle(int lineStyle) {
    switch (lineStyle) {
    case VAL_DASH:
        return Qt::DashLine;
    case VAL_DOT:
        return Qt::DotLine;
    default:
        return Qt::SolidLine;
    }
}

QString tickLabel(double value) {
    return QString::number(value, 'g', 6);
}

} // namespace

KvXYGraph::KvXYGraph(QWidget *parent) : QWidget(parent), xName_(tr("sample")), throttle_(this) {}

int KvXYGraph::setTextAttribute(int attribute, const QString &value) {
    if (attribute != ATTR_YNAME)
        return UIE_ATTRIBUTE;
    setYName(value);
    return 0;
}

int KvXYGraph::addPlot(Plot plot) {
    if (plot.x.size() != plot.y.size() || !knownPlotStyle(plot.plotStyle) ||
        plot.pointStyle != VAL_SIMPLE_DOT || plot.lineStyle < VAL_SOLID ||
        plot.lineStyle > VAL_DOT || plot.pointFrequency < 1 || plot.colour > 0xFFFFFF)
        return UIE_VALUE_TYPE;
    plot.handle = nextHandle_++;
    plots_ << plot;
    throttle_.request();
    return plot.handle;
}

bool KvXYGraph::deletePlot(int handle) {
    const auto found = std::find_if(plots_.begin(), plots_.end(),
                                    [handle](const Plot &plot) { return plot.handle == handle; });
    if (found == plots_.end())
        return false;
    plots_.erase(found);
    throttle_.request();
    return true;
}

void KvXYGraph::deleteAllPlots() {
    plots_.clear();
    throttle_.request();
}

int KvXYGraph::setAxisScaling(int axis, int mode, double min, double max) {
    if (axis != VAL_XAXIS && axis != VAL_LEFT_YAXIS)
        return UIE_VALUE_TYPE;
    if (mode == VAL_MANUAL) {
        if (!std::isfinite(min) || !std::isfinite(max) || !(min < max))
            return UIE_VALUE_TYPE;
        axes_[axis] = {VAL_MANUAL, min, max};
    } else if (mode == VAL_AUTOSCALE) {
        axes_[axis].mode = VAL_AUTOSCALE;
    } else {
        return UIE_VALUE_TYPE;
    }
    throttle_.request();
    return 0;
}

QPair<double, double> KvXYGraph::axisRange(int axis) const {
    if (axis != VAL_XAXIS && axis != VAL_LEFT_YAXIS)
        return {0, 0};
    const AxisScale &scale = axes_[axis];
    if (scale.mode == VAL_MANUAL)
        return {scale.min, scale.max};
    // Fitted to the finite values; with none, or a span too wide for a double, the last manual
    // range stays.
    double low = INFINITY;
    double high = -INFINITY;
    for (const Plot &plot : plots_)
        for (double value : axis == VAL_XAXIS ? plot.x : plot.y)
            if (std::isfinite(value)) {
                low = std::min(low, value);
                high = std::max(high, value);
            }
    if (low > high || !std::isfinite(high - low))
        return {scale.min, scale.max};
    if (low == high) {
        const double pad = std::max(1.0, std::abs(low) * 0.01);
        return {low - pad, high + pad};
    }
    return {low, high};
}

int KvXYGraph::axisScalingMode(int axis) const {
    return axis == VAL_XAXIS || axis == VAL_LEFT_YAXIS ? axes_[axis].mode : VAL_MANUAL;
}

void KvXYGraph::setXName(const QString &name) {
    xName_ = name;
    throttle_.request();
}

void KvXYGraph::setYName(const QString &name) {
    yName_ = name;
    throttle_.request();
}

void KvXYGraph::paintEvent(QPaintEvent *) {
    throttle_.painted();
    QPainter painter(this);
    painter.fillRect(rect(), palette().window());

    const QPair<double, double> xRange = axisRange(VAL_XAXIS);
    const QPair<double, double> yRange = axisRange(VAL_LEFT_YAXIS);
    const double xLow = xRange.first, xHigh = xRange.second;
    const double yLow = yRange.first, yHigh = yRange.second;
    const QFontMetrics metrics(font());
    const int lineHeight = metrics.height();
    const QVector<double> yTicks = AxisTicks(yLow, yHigh, std::max(1, height() / (3 * lineHeight)));
    int yLabelWidth = 0;
    for (double tick : yTicks)
        yLabelWidth = std::max(yLabelWidth, metrics.horizontalAdvance(tickLabel(tick)));
    const int left = (yName_.isEmpty() ? 0 : lineHeight + GAP) + yLabelWidth + TICK_LENGTH + GAP;
    const int bottom = TICK_LENGTH + lineHeight + (xName_.isEmpty() ? 0 : lineHeight) + GAP;
    const int right = metrics.horizontalAdvance(tickLabel(xHigh)) / 2 + GAP;
    const QRectF area = QRectF(rect()).adjusted(left, lineHeight / 2.0 + GAP, -right, -bottom);
    if (area.width() < 2 || area.height() < 2)
        return;
    const QVector<double> xTicks = AxisTicks(
        xLow, xHigh,
        std::max(1, int(area.width()) / (metrics.horizontalAdvance(QStringLiteral("0000000")))));
    const auto toPixel = [&](const QPointF &point) {
        return QPointF(area.left() + (point.x() - xLow) / (xHigh - xLow) * area.width(),
                       area.bottom() - (point.y() - yLow) / (yHigh - yLow) * area.height());
    };

    painter.fillRect(area, palette().base());
    const QPen gridPen(palette().mid().color(), 0, Qt::DotLine);
    const QPen textPen(palette().windowText().color(), 0);
    for (double tick : yTicks) {
        const double y = toPixel(QPointF(xLow, tick)).y();
        painter.setPen(gridPen);
        painter.drawLine(QPointF(area.left(), y), QPointF(area.right(), y));
        painter.setPen(textPen);
        painter.drawLine(QPointF(area.left() - TICK_LENGTH, y), QPointF(area.left(), y));
        painter.drawText(QRectF(0, y - lineHeight, area.left() - TICK_LENGTH - GAP, 2 * lineHeight),
                         Qt::AlignRight | Qt::AlignVCenter, tickLabel(tick));
    }
    for (double tick : xTicks) {
        const double x = toPixel(QPointF(tick, yLow)).x();
        painter.setPen(gridPen);
        painter.drawLine(QPointF(x, area.top()), QPointF(x, area.bottom()));
        painter.setPen(textPen);
        painter.drawLine(QPointF(x, area.bottom()), QPointF(x, area.bottom() + TICK_LENGTH));
        painter.drawText(QRectF(x - 50, area.bottom() + TICK_LENGTH, 100, lineHeight),
                         Qt::AlignHCenter | Qt::AlignTop, tickLabel(tick));
    }
    painter.drawRect(area);
    if (!xName_.isEmpty())
        painter.drawText(
            QRectF(area.left(), height() - lineHeight - GAP / 2, area.width(), lineHeight),
            Qt::AlignCenter, xName_);
    if (!yName_.isEmpty()) {
        painter.save();
        painter.translate(GAP / 2, area.center().y());
        painter.rotate(-90);
        painter.drawText(QRectF(-area.height() / 2, 0, area.height(), lineHeight), Qt::AlignCenter,
                         yName_);
        painter.restore();
    }

    const QRectF bounds(QPointF(xLow, yLow), QPointF(xHigh, yHigh));
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setClipRect(area);
    for (const Plot &plot : plots_) {
        const QColor colour(plot.colour);
        if (plot.plotStyle != VAL_SCATTER) {
            QVector<QPointF> line;
            line.reserve(plot.x.size());
            for (int i = 0; i < plot.x.size(); ++i)
                line << QPointF(plot.x[i], plot.y[i]);
            const double width = plot.plotStyle == VAL_FAT_LINE ? FAT_WIDTH : THIN_WIDTH;
            painter.setPen(
                QPen(colour, width, penStyle(plot.lineStyle), Qt::FlatCap, Qt::RoundJoin));
            painter.setBrush(Qt::NoBrush);
            for (QPolygonF piece : ClipPolyline(line, bounds)) {
                for (QPointF &point : piece)
                    point = toPixel(point);
                painter.drawPolyline(piece);
            }
        }
        if (plot.plotStyle == VAL_SCATTER || plot.plotStyle == VAL_CONNECTED_POINTS) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(colour);
            for (qint64 i = 0; i < plot.x.size(); i += plot.pointFrequency) {
                const QPointF point(plot.x[i], plot.y[i]);
                if (bounds.contains(point))
                    painter.drawEllipse(toPixel(point), DOT_RADIUS, DOT_RADIUS);
            }
        }
    }
}
