// The LED indicator's drawing and its state for assistive tools.
#include "led.h"

#include <QPainter>
#include <QRadialGradient>

#include <algorithm>

namespace {

const QColor DEFAULT_ON_COLOUR(0x00, 0xD0, 0x30);

} // namespace

KvLed::KvLed(QWidget *parent) : QWidget(parent), onColor_(DEFAULT_ON_COLOUR), throttle_(this) {
    // It paints its own ground: a change does not repaint the group box behind it.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAccessibleDescription(tr("off"));
}

void KvLed::setValue(int value) {
    if ((value != 0) == lit_)
        return;
    lit_ = value != 0;
    setAccessibleDescription(lit_ ? tr("on") : tr("off"));
    throttle_.request();
}

void KvLed::setOnColor(const QColor &colour) {
    onColor_ = colour;
    update();
}

void KvLed::paintEvent(QPaintEvent *) {
    throttle_.painted();
    QPainter painter(this);
    painter.fillRect(rect(), palette().window());
    painter.setRenderHint(QPainter::Antialiasing);
    const double side = std::min(width(), height()) - 2.0;
    if (side < 2)
        return;
    const QRectF disc(QPointF((width() - side) / 2, (height() - side) / 2), QSizeF(side, side));
    if (lit_) {
        // A bright body with a white highlight towards the top left, as a lamp that glows.
        QRadialGradient glow(disc.center(), side / 2,
                             disc.topLeft() + QPointF(side * 0.35, side * 0.3));
        glow.setColorAt(0, Qt::white);
        glow.setColorAt(0.35, onColor_.lighter(130));
        glow.setColorAt(1, onColor_);
        painter.setBrush(glow);
        painter.setPen(QPen(onColor_.darker(160), 1));
        painter.drawEllipse(disc);
    } else {
        // A dark socket inside a thick dim rim, no highlight: dark where a lit one is bright.
        const QColor dim = QColor::fromHsv(onColor_.hsvHue(), onColor_.hsvSaturation() / 3, 70);
        painter.setBrush(QColor(0x30, 0x30, 0x30));
        painter.setPen(QPen(dim, std::max(1.5, side / 8)));
        painter.drawEllipse(disc.adjusted(side / 16, side / 16, -side / 16, -side / 16));
    }
}
