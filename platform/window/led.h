// The LED indicator: lit or dark, told apart by brightness and fill as well as by colour, and
// reported as "on" or "off" to assistive tools.
#pragma once

#include "frame_clock.h"
#include "widgets.h"

#include <QColor>
#include <QWidget>

class KvLed : public QWidget, public KvControl {
    Q_OBJECT
    Q_PROPERTY(int value READ value WRITE setValue)
    Q_PROPERTY(QColor onColor READ onColor WRITE setOnColor)
  public:
    explicit KvLed(QWidget *parent = nullptr);
    // 1 when lit, else 0.
    int value() const { return lit_ ? 1 : 0; }
    // Any value other than 0 lights the LED.
    void setValue(int value);
    QColor onColor() const { return onColor_; }
    void setOnColor(const QColor &colour);

    QSize sizeHint() const override { return {24, 24}; }

  protected:
    void paintEvent(QPaintEvent *event) override;

  private:
    bool lit_ = false;
    QColor onColor_;
    RepaintThrottle throttle_;
};
