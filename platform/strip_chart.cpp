// The strip chart control and the drawing pieces the XY graph shares with it.
#include "strip_chart.h"

#include "chart.h"
#include "panel.h"

#include <QPaintEngine>
#include <QPainter>
#include <QScreen>

#include <algorithm>
#include <cmath>
#include <iterator>

namespace {

const int DEFAULT_FRAME_MS = 16;
const int MIN_FRAME_MS = 4;
const int MAX_FRAME_MS = 50;
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

RepaintThrottle::RepaintThrottle(QWidget *widget) : widget_(widget) {
    timer_.setSingleShot(true);
    // A coarse timer may fire early, which would let two paints fall into one frame.
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, widget, [this] {
        updatePending_ = true;
        widget_->update();
    });
}

void RepaintThrottle::request() {
    // A paint already asked for shows whatever the data are when it runs.
    if (timer_.isActive() || updatePending_)
        return;
    const int interval = frameInterval();
    const qint64 since = sinceLastPaint_.isValid() ? sinceLastPaint_.elapsed() : interval;
    timer_.start(int(std::max<qint64>(0, interval - since)));
}

void RepaintThrottle::painted() {
    updatePending_ = false;
    ++paints_;
    sinceLastPaint_.start();
}

int RepaintThrottle::frameInterval() const {
    const QScreen *screen = widget_->screen();
    const qreal rate = screen ? screen->refreshRate() : 0;
    if (rate < 1)
        return DEFAULT_FRAME_MS;
    return std::clamp(int(std::lround(1000 / rate)), MIN_FRAME_MS, MAX_FRAME_MS);
}

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

KvStripChart::KvStripChart(QWidget *parent) : QWidget(parent), throttle_(this) {
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
        shown_ = frozen_ ? live_ : Screen();
        throttle_.request();
        return 0;
    default:
        return UIE_ATTRIBUTE;
    }
}

void KvStripChart::changed() {
    if (!frozen_)
        throttle_.request();
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
    changed();
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

QRectF KvStripChart::paintBackground(QPainter &painter, double low, double high) {
    painter.fillRect(rect(), palette().window());
    const QFontMetrics metrics(font());
    const QVector<double> ticks =
        AxisTicks(low, high, std::max(1, height() / (3 * metrics.height())));
    int labelWidth = 0;
    for (double tick : ticks)
        labelWidth = std::max(labelWidth, metrics.horizontalAdvance(QString::number(tick, 'g', 6)));
    const double margin = metrics.height() * 0.75;
    const QRectF area = QRectF(rect()).adjusted(labelWidth + 8, margin, -8, -margin);
    if (area.width() < 2 || area.height() < 2)
        return area;
    painter.fillRect(area, palette().base());
    painter.setPen(QPen(palette().mid().color(), 0, Qt::DotLine));
    for (int division = 1; division < VERTICAL_DIVISIONS; ++division) {
        const double x = area.left() + area.width() * division / VERTICAL_DIVISIONS;
        painter.drawLine(QPointF(x, area.top()), QPointF(x, area.bottom()));
    }
    for (double tick : ticks) {
        const double y = area.bottom() - (tick - low) / (high - low) * area.height();
        painter.setPen(QPen(palette().mid().color(), 0, Qt::DotLine));
        painter.drawLine(QPointF(area.left(), y), QPointF(area.right(), y));
        painter.setPen(palette().windowText().color());
        painter.drawText(QRectF(0, y - metrics.height(), area.left() - 4, 2 * metrics.height()),
                         Qt::AlignRight | Qt::AlignVCenter, QString::number(tick, 'g', 6));
    }
    painter.setPen(QPen(palette().windowText().color(), 0));
    painter.drawRect(area);
    return area;
}

void KvStripChart::paintEvent(QPaintEvent *) {
    throttle_.painted();
    const Screen &s = frozen_ ? shown_ : live_;
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
        const BackgroundKey key{size(), low, high, palette().cacheKey(), font().key()};
        if (background_.isNull() || !(key == backgroundKey_)) {
            background_ = QImage(size() * ratio, QImage::Format_ARGB32_Premultiplied);
            background_.setDevicePixelRatio(ratio);
            QPainter cache(&background_);
            backgroundArea_ = paintBackground(cache, low, high);
            backgroundKey_ = key;
        }
        area = backgroundArea_;
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.drawImage(0, 0, background_);
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    } else {
        area = paintBackground(painter, low, high);
    }
    if (area.width() < 2 || area.height() < 2)
        return;
    const double lastPosition = s.points - 1;
    const auto toPixel = [&](const QPointF &point) {
        return QPointF(area.left() + point.x() / lastPosition * area.width(),
                       area.bottom() - (point.y() - low) / (high - low) * area.height());
    };

    const QRectF bounds(QPointF(0, low), QPointF(lastPosition, high));
    const QVector<Run> shownRuns = s.runs();
    painter.setClipRect(area);
    for (int trace = 1; trace <= s.traces; ++trace) {
        painter.setPen(QPen(QColor(s.colours[trace - 1]), TRACE_WIDTH, Qt::SolidLine, Qt::FlatCap,
                            Qt::RoundJoin));
        for (const Run &run : shownRuns) {
            QVector<QPointF> line;
            line.reserve(run.count);
            bool level = true;
            for (int i = 0; i < run.count; ++i) {
                line << QPointF(run.firstPosition + i,
                                s.value((run.firstSlot + i) % s.points, trace));
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
