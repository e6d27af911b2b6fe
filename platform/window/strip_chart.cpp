// The strip chart control and the drawing pieces the XY graph shares with it.
#include "strip_chart.h"

#include "chart.h"
#include "panel.h"

#include <QPaintEngine>
#include <QPaintEvent>
#include <QPainter>
#include <QScreen>

#include <algorithm>
#include <cmath>
#include <iterator>

namespace {

const int VERTICAL_DIVISIONS = 10;
const double TRACE_WIDTH = 2.0;

// Distinct on a white ground and in the common forms of colour blindness for the first eight.
const QRgb DEFAULT_COLOURS[KvStripChart::MAX_TRACES] = {
    0x0072B2, 0xD55E00, 0x009E73, 0xCC79A7, 0xE69F00, 0x56B4E9, 0x000000, 0x8C564B,
    0x7F7F7F, 0xBCBD22, 0x17BECF, 0x9467BD, 0x1F77B4, 0xFF7F0E, 0x2CA02C, 0xD62728,
};

bool isFinite(const QPointF &point) {
    return std::isfinite(point.x()) && std::isfinite(point.y());
}

// Liang-Barsky: shortens a..b to its part inside bounds; false when none of it is.
bool clipSegment(QPointF &a, QPointF &b, const QRectF &bounds) {
    const double dx = b.x() - a.x();
    const double dy = b.y() - a.y();
    if (!std::isfinite(dx) || !std::isfinite(dy))
        return false;
    const double p[4] = {-dx, dx, -dy, dy};
    const double q[4] = {a.x() - bounds.left(), bounds.right() - a.x(), a.y() - bounds.top(),
                         bounds.bottom() - a.y()};
    double enter = 0;
    double leave = 1;
    for (int i = 0; i < 4; ++i) {
        if (p[i] == 0) {
            if (q[i] < 0)
                return false;
            continue;
        }
        const double t = q[i] / p[i];
        if (p[i] < 0)
            enter = std::max(enter, t);
        else
            leave = std::min(leave, t);
    }
    if (enter > leave)
        return false;
    const QPointF start = a;
    if (enter > 0)
        a = QPointF(start.x() + enter * dx, start.y() + enter * dy);
    if (leave < 1)
        b = QPointF(start.x() + leave * dx, start.y() + leave * dy);
    return true;
}

} // namespace

QVector<double> AxisTicks(double min, double max, int maxCount) {
    QVector<double> ticks;
    if (!std::isfinite(min) || !std::isfinite(max) || !(max > min) || maxCount < 1)
        return ticks;
    const double raw = (max - min) / maxCount;
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    double step = 10 * magnitude;
    for (double factor : {1.0, 2.0, 5.0})
        if (factor * magnitude >= raw * (1 - 1e-9)) {
            step = factor * magnitude;
            break;
        }
    const double slack = step * 1e-9;
    // The count bound also ends the loop where k is too large for ++k to change it.
    double k = std::ceil((min - slack) / step);
    for (int count = 0; k * step <= max + slack && count <= maxCount + 1; ++k, ++count)
        ticks << (k == 0 ? 0.0 : k * step);
    return ticks;
}

QVector<QPolygonF> ClipPolyline(const QVector<QPointF> &points, const QRectF &bounds) {
    QVector<QPolygonF> pieces;
    QPolygonF current;
    const auto flush = [&] {
        if (current.size() >= 2)
            pieces << current;
        current.clear();
    };
    for (int i = 1; i < points.size(); ++i) {
        QPointF a = points[i - 1];
        QPointF b = points[i];
        if (!isFinite(a) || !isFinite(b) || !clipSegment(a, b, bounds)) {
            flush();
            continue;
        }
        if (current.isEmpty() || current.last() != a) {
            flush();
            current << a;
        }
        current << b;
    }
    flush();
    return pieces;
}

KvStripChart::KvStripChart(QWidget *parent)
    : QWidget(parent), throttle_(this, [this] { showChanges(); }) {
    std::copy(std::begin(DEFAULT_COLOURS), std::end(DEFAULT_COLOURS), live_.colours);
    reshape(live_.traces, live_.points);
    // Every pixel is painted by the chart itself: nothing behind it needs repainting first.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

int KvStripChart::setIntAttribute(int attribute, int value) {
    switch (attribute) {
    case ATTR_NUM_TRACES:
        if (value < 1 || value > MAX_TRACES)
            return UIE_VALUE_TYPE;
        if (value != live_.traces)
            reshape(value, live_.points);
        return 0;
    case ATTR_POINTS_PER_SCREEN:
        if (value < 2 || value > MAX_POINTS_PER_SCREEN)
            return UIE_VALUE_TYPE;
        if (value != live_.points)
            reshape(live_.traces, value);
        return 0;
    case ATTR_SCROLL_MODE:
        if (value != VAL_SWEEP && value != VAL_CONTINUOUS && value != VAL_BLOCK)
            return UIE_VALUE_TYPE;
        if (value != live_.scrollMode) {
            live_.scrollMode = value;
            changed();
        }
        return 0;
    case ATTR_CHART_FROZEN:
        if ((value != 0) == frozen_)
            return 0;
        frozen_ = value != 0;
        // The copy shares the values until the next append, which then copies them once.
        shown_ = frozen_ ? pictured_ : Screen();
        wholePicturePending_ = true;
        throttle_.request();
        return 0;
    default:
        return UIE_ATTRIBUTE;
    }
}

void KvStripChart::changed() {
    wholePicturePending_ = true;
    dataChanged();
}

void KvStripChart::dataChanged() {
    if (!frozen_)
        throttle_.request();
}

int KvStripChart::stepsMovedOn() const {
    const Screen &now = live_;
    const Screen &was = pictured_;
    if (wholePicturePending_ || frozen_ || now.scrollMode != VAL_CONTINUOUS ||
        now.filled < now.points || was.filled < was.points || now.points != was.points ||
        now.traces != was.traces)
        return 0;
    const int oldest = now.oldestSlot();
    const int wasOldest = was.oldestSlot();
    // The first position is left out: a window handed over whole each time shows there the
    // step before its own, which the new picture draws anew anyway.
    for (int moved = 1; moved <= now.points / 2; ++moved) {
        bool same = true;
        for (int position = 1; same && position + moved < now.points; ++position)
            for (int trace = 1; same && trace <= now.traces; ++trace)
                same = now.value((oldest + position) % now.points, trace) ==
                       was.value((wasOldest + position + moved) % was.points, trace);
        if (same)
            return moved;
    }
    return 0;
}

void KvStripChart::showChanges() {
    const int moved = stepsMovedOn();
    // What the paints draw from now on: data that come before they run wait for the next frame.
    pictured_ = live_;
    const QRect area = backgroundArea_.toRect();
    const int step = live_.points > 1 ? area.width() / (live_.points - 1) : 0;
    if (moved == 0 || step < 1 || area.width() != step * (live_.points - 1) || !isVisible()) {
        wholePicturePending_ = true;
        update();
        return;
    }
    // The frame stays; inside it everything moves left, and the newest steps and the one before
    // them, whose line now goes on, are drawn anew, as are the first two positions.
    const QRect inside(area.left() + 1, area.top() + 1, area.width() - 1, area.height() - 1);
    scroll(-moved * step, 0, inside);
    scrolled_ += moved;
    const int fresh = (moved + 1) * step;
    update(QRegion(inside.right() + 1 - fresh, inside.top(), fresh, inside.height()) +
           QRegion(inside.left(), inside.top(), 2 * step, inside.height()));
}

void KvStripChart::appendSteps(qint64 steps,
                               const std::function<double(qint64 step, int index)> &valueAt) {
    if (steps <= 0)
        return;
    Screen &s = live_;
    const qint64 kept = std::min<qint64>(steps, s.points);
    const qint64 dropped = steps - kept;
    s.nextSlot = int((s.nextSlot + dropped % s.points) % s.points);
    s.filled = int(std::min<qint64>(s.filled + dropped, s.points));
    double *values = s.values.data();
    for (qint64 step = dropped; step < steps; ++step) {
        double *slot = values + qint64(s.nextSlot) * s.traces;
        for (int index = 0; index < s.traces; ++index)
            slot[index] = valueAt(step, index);
        s.nextSlot = (s.nextSlot + 1) % s.points;
        s.filled = std::min(s.filled + 1, s.points);
    }
    dataChanged();
}

void KvStripChart::append(const QVector<double> &interleaved) {
    const int traces = live_.traces;
    appendSteps(interleaved.size() / traces,
                [&](qint64 step, int index) { return interleaved[step * traces + index]; });
}

void KvStripChart::clear() {
    live_.nextSlot = 0;
    live_.filled = 0;
    changed();
}

void KvStripChart::reshape(int traces, int points) {
    live_.traces = traces;
    live_.points = points;
    live_.values.fill(0.0, traces * points);
    clear();
}

void KvStripChart::setTraceColour(int trace, QRgb colour) {
    if (trace < 1 || trace > MAX_TRACES || live_.colours[trace - 1] == colour)
        return;
    live_.colours[trace - 1] = colour;
    changed();
}

QRgb KvStripChart::traceColour(int trace) const {
    return trace >= 1 && trace <= MAX_TRACES ? live_.colours[trace - 1] : 0;
}

void KvStripChart::setYMin(double value) {
    live_.yMin = value;
    changed();
}

void KvStripChart::setYMax(double value) {
    live_.yMax = value;
    changed();
}

int KvStripChart::Screen::shownCount() const {
    if (scrollMode != VAL_BLOCK || filled < points)
        return filled;
    return nextSlot == 0 ? points : nextSlot;
}

int KvStripChart::Screen::oldestSlot() const {
    if (scrollMode == VAL_BLOCK)
        return 0;
    return (nextSlot - filled + points) % points;
}

QVector<KvStripChart::Run> KvStripChart::Screen::runs() const {
    // Sweep leaves each point at the slot it was written to, so the screen shows two runs: the
    // newest points left of the cursor, the older ones right of it.
    if (scrollMode == VAL_SWEEP)
        return {{0, 0, nextSlot}, {nextSlot, nextSlot, filled - nextSlot}};
    return {{0, oldestSlot(), shownCount()}};
}

QVector<double> KvStripChart::points(int trace) const {
    QVector<double> shown;
    if (trace < 1 || trace > live_.traces)
        return shown;
    const int count = live_.shownCount();
    const int oldest = live_.oldestSlot();
    shown.reserve(count);
    for (int i = 0; i < count; ++i)
        shown << live_.value((oldest + i) % live_.points, trace);
    return shown;
}

QVector<double> KvStripChart::pointsLeftToRight(int trace) const {
    QVector<double> shown;
    if (trace < 1 || trace > live_.traces)
        return shown;
    for (const Run &run : live_.runs())
        for (int i = 0; i < run.count; ++i)
            shown << live_.value((run.firstSlot + i) % live_.points, trace);
    return shown;
}

QRectF KvStripChart::paintBackground(QPainter &painter, double low, double high, int points) {
    painter.fillRect(rect(), palette().window());
    const QFontMetrics metrics(font());
    const QVector<double> ticks =
        AxisTicks(low, high, std::max(1, height() / (3 * metrics.height())));
    int labelWidth = 0;
    for (double tick : ticks)
        labelWidth = std::max(labelWidth, metrics.horizontalAdvance(QString::number(tick, 'g', 6)));
    const int margin = metrics.height() * 3 / 4;
    QRect area = rect().adjusted(labelWidth + 8, margin, -8, -margin);
    // Whole pixels a time step: then a new step moves the picture by whole pixels.
    const int spans = std::max(1, points - 1);
    if (area.width() >= spans)
        area.setWidth(area.width() / spans * spans);
    if (area.width() < 2 || area.height() < 2)
        return area;
    painter.fillRect(area, palette().base());
    // Solid grid lines: a dotted one would show its pattern's seams where the picture moves.
    gridLines_.clear();
    for (double tick : ticks) {
        const double y = std::round(area.bottom() - (tick - low) / (high - low) * area.height());
        gridLines_ << y;
        painter.setPen(QPen(palette().midlight().color(), 0));
        painter.drawLine(QPointF(area.left(), y), QPointF(area.right(), y));
        painter.setPen(palette().windowText().color());
        painter.drawText(QRectF(0, y - metrics.height(), area.left() - 4, 2 * metrics.height()),
                         Qt::AlignRight | Qt::AlignVCenter, QString::number(tick, 'g', 6));
    }
    painter.setPen(QPen(palette().windowText().color(), 0));
    painter.drawRect(QRectF(area));
    return QRectF(area);
}

void KvStripChart::paintTraces(QPainter &painter, const Screen &s, const QRectF &area,
                               const QRect &region, double low, double high) {
    const double lastPosition = s.points - 1;
    const double step = area.width() / lastPosition;
    const auto toPixel = [&](const QPointF &point) {
        return QPointF(area.left() + point.x() * step,
                       area.bottom() - (point.y() - low) / (high - low) * area.height());
    };
    // The positions whose lines reach into the region, one more on each side for the joins.
    const int first = std::max(0, int(std::floor((region.left() - area.left()) / step)) - 1);
    const int last =
        std::min(s.points - 1, int(std::ceil((region.right() + 1 - area.left()) / step)) + 1);
    painter.setClipRect(QRectF(region) & area.adjusted(1, 1, 0, 0));
    // The vertical grid: every tenth of the screen, moving with the data.
    const int division = std::max(1, (s.points - 1) / VERTICAL_DIVISIONS);
    painter.setPen(QPen(palette().midlight().color(), 0));
    for (int position = first; position <= last; ++position)
        if ((position + scrolled_) % division == 0) {
            const double x = toPixel(QPointF(position, low)).x();
            painter.drawLine(QPointF(x, area.top()), QPointF(x, area.bottom()));
        }
    const QRectF bounds(QPointF(0, low), QPointF(lastPosition, high));
    for (int trace = 1; trace <= s.traces; ++trace) {
        painter.setPen(QPen(QColor(s.colours[trace - 1]), TRACE_WIDTH, Qt::SolidLine, Qt::FlatCap,
                            Qt::RoundJoin));
        for (const Run &run : s.runs()) {
            const int from = std::max(first, run.firstPosition);
            const int to = std::min(last, run.firstPosition + run.count - 1);
            QVector<QPointF> line;
            bool level = true;
            for (int position = from; position <= to; ++position) {
                const int slot = (run.firstSlot + position - run.firstPosition) % s.points;
                line << QPointF(position, s.value(slot, trace));
                level = level && line.back().y() == line.front().y();
            }
            // Smoothing a level line changes nothing but its cost: the threshold lines are level.
            painter.setRenderHint(QPainter::Antialiasing, !level);
            for (QPolygonF piece : ClipPolyline(line, bounds)) {
                for (QPointF &point : piece)
                    point = toPixel(point);
                painter.drawPolyline(piece);
            }
        }
    }
    if (s.scrollMode == VAL_SWEEP && s.filled > 0) {
        const double x = toPixel(QPointF(s.nextSlot, low)).x();
        painter.setPen(QPen(palette().windowText().color(), 1));
        painter.drawLine(QPointF(x, area.top()), QPointF(x, area.bottom()));
    }
}

void KvStripChart::paintEvent(QPaintEvent *event) {
    throttle_.painted();
    // A paint of the whole chart shows the present data; a part of it, what the pixels around it
    // show.
    const QRect region = event->rect();
    if (!frozen_ && region.contains(rect()))
        pictured_ = live_;
    const Screen &s = frozen_ ? shown_ : pictured_;
    const double low = std::isfinite(s.yMin) ? s.yMin : 0;
    const double high = std::isfinite(s.yMax) && s.yMax > low ? s.yMax : low + 1;
    QPainter painter(this);
    // Grid, tick labels and frame change only with the size, the range and the look: drawn once
    // into an image, so a new time step costs only its traces. The image is exact only on a
    // raster device at its own scale; a picture written to a file (SVG, another size) gets
    // them drawn afresh.
    const qreal ratio = devicePixelRatioF();
    const QTransform device = painter.deviceTransform();
    QRectF area;
    if (painter.paintEngine()->type() == QPaintEngine::Raster && device.m11() == ratio &&
        device.m22() == ratio && !device.isRotating()) {
        const BackgroundKey key{size(), low, high, palette().cacheKey(), font().key(), s.points};
        if (background_.isNull() || !(key == backgroundKey_)) {
            background_ = QImage(size() * ratio, QImage::Format_ARGB32_Premultiplied);
            background_.setDevicePixelRatio(ratio);
            QPainter cache(&background_);
            backgroundArea_ = paintBackground(cache, low, high, s.points);
            backgroundKey_ = key;
        }
        area = backgroundArea_;
        const QRect inside = area.toRect().adjusted(1, 1, 0, 0);
        for (const QRect &part : event->region()) {
            if (inside.contains(part)) {
                // Inside the plot the ground is a fill and the grid's lines, quicker drawn than
                // the image is copied.
                painter.fillRect(part, palette().base());
                painter.setPen(QPen(palette().midlight().color(), 0));
                for (double y : gridLines_)
                    painter.drawLine(QPointF(part.left(), y), QPointF(part.right(), y));
                continue;
            }
            painter.setCompositionMode(QPainter::CompositionMode_Source);
            painter.drawImage(part, background_,
                              QRectF(QPointF(part.topLeft()) * ratio, QSizeF(part.size()) * ratio));
            painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        }
    } else {
        area = paintBackground(painter, low, high, s.points);
    }
    if (region.contains(area.toRect()))
        wholePicturePending_ = false;
    if (area.width() < 2 || area.height() < 2)
        return;
    for (const QRect &part : event->region())
        paintTraces(painter, s, area, part, low, high);
}
