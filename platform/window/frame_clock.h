// Repaints paced by one clock for the whole program: however often their data change, the
// controls that asked are shown together once a screen frame, in one pass over the window.
#pragma once

#include <QElapsedTimer>
#include <QWidget>

#include <functional>

// Shows at once what waits for the clock, if a frame has passed since the last: for long pauses
// that run no timers (the flash run's), so that their progress still shows.
void ShowDueFrames();

// One control's place in the frame clock. request() asks to be shown at the next frame, which
// comes no sooner than a frame after the last; show brings the changes to the screen (by
// default an update of the whole control).
class RepaintThrottle {
  public:
    explicit RepaintThrottle(QWidget *widget, std::function<void()> show = {});
    ~RepaintThrottle();
    RepaintThrottle(const RepaintThrottle &) = delete;
    RepaintThrottle &operator=(const RepaintThrottle &) = delete;

    void request();
    // Called by the control's paintEvent.
    void painted();
    int paintCount() const { return paints_; }
    int frameInterval() const;

  private:
    friend class FrameClock;
    void show();

    QWidget *widget_;
    std::function<void()> show_;
    // From the frame that showed the changes until the paint: a hidden control is painted when
    // it is shown again, and asks for nothing meanwhile.
    bool showing_ = false;
    bool again_ = false;
    bool queued_ = false;
    int paints_ = 0;
};
