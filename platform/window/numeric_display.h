// The numeric indicator: a number shown large and right-aligned, repainted only when it changes,
// with the frame, and cheap to paint, since the live run changes several of them 27 times a
// second: its characters are drawn once per font and then only copied.
#pragma once

#include "frame_clock.h"
#include "widgets.h"

#include <QPixmap>
#include <QString>
#include <QWidget>

class KvNumeric : public QWidget, public KvControl {
    Q_OBJECT
    Q_PROPERTY(int value READ value WRITE setValue)
  public:
    explicit KvNumeric(QWidget *parent = nullptr);
    int value() const { return value_; }
    void setValue(int value);
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

  private:
    // The digits and the minus sign, drawn in the widget's font and colours.
    void drawCharacters();

    int value_ = 0;
    QString text_ = QStringLiteral("0");
    QPixmap characters_[11];
    int characterWidth_ = 0;
    RepaintThrottle throttle_;
};
