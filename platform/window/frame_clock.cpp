// The frame clock: one single-shot timer for every control that waits to be shown, so that the
// chart, the numbers and the LEDs of one answer go to the screen in one pass.
#include "frame_clock.h"

#include <QScreen>
#include <QTimer>
#include <QVector>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

const int DEFAULT_FRAME_MS = 16;
const int MIN_FRAME_MS = 4;
const int MAX_FRAME_MS = 50;

} // namespace

class FrameClock {
  public:
    static FrameClock &instance() {
        static FrameClock clock;
        return clock;
    }
    void add(RepaintThrottle *control) {
        waiting_.append(control);
        if (timer_.isActive())
            return;
        const int interval = control->frameInterval();
        const qint64 since = sinceLastFrame_.isValid() ? sinceLastFrame_.elapsed() : interval;
        timer_.start(int(std::max<qint64>(0, interval - since)));
    }
    void remove(RepaintThrottle *control) { waiting_.removeAll(control); }
    void showIfDue() {
        if (timer_.isActive() && !waiting_.isEmpty() &&
            (!sinceLastFrame_.isValid() ||
             sinceLastFrame_.elapsed() >= waiting_.first()->frameInterval())) {
            timer_.stop();
            frame();
        }
    }

  private:
    FrameClock() {
        timer_.setSingleShot(true);
        // A coarse timer may fire early, which would let two frames fall into one.
        timer_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer_, &QTimer::timeout, [this] { frame(); });
    }
    void frame() {
        sinceLastFrame_.start();
        const QVector<RepaintThrottle *> due = std::exchange(waiting_, {});
        for (RepaintThrottle *control : due)
            control->show();
    }

    QTimer timer_;
    QElapsedTimer sinceLastFrame_;
    QVector<RepaintThrottle *> waiting_;
};

void ShowDueFrames() {
    FrameClock::instance().showIfDue();
}

RepaintThrottle::RepaintThrottle(QWidget *widget, std::function<void()> show)
    : widget_(widget), show_(std::move(show)) {}

RepaintThrottle::~RepaintThrottle() {
    FrameClock::instance().remove(this);
}

void RepaintThrottle::request() {
    // A frame already asked for shows whatever the data are when it comes; changes made while
    // one is being painted ask for the next.
    if (showing_)
        again_ = true;
    if (queued_ || showing_)
        return;
    queued_ = true;
    FrameClock::instance().add(this);
}

void RepaintThrottle::show() {
    queued_ = false;
    showing_ = true;
    if (show_)
        show_();
    else
        widget_->update();
}

void RepaintThrottle::painted() {
    showing_ = false;
    ++paints_;
    if (std::exchange(again_, false))
        request();
}

int RepaintThrottle::frameInterval() const {
    const QScreen *screen = widget_->screen();
    const qreal rate = screen ? screen->refreshRate() : 0;
    if (rate < 1)
        return DEFAULT_FRAME_MS;
    return std::clamp(int(std::lround(1000 / rate)), MIN_FRAME_MS, MAX_FRAME_MS);
}
