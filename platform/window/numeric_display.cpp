// The numeric indicator's drawing: a sunken box and its number, made of characters drawn once.
#include "numeric_display.h"

#include <QEvent>
#include <QPainter>

namespace {

const int MARGIN = 6;
const QString CHARACTERS = QStringLiteral("0123456789-");

} // namespace

KvNumeric::KvNumeric(QWidget *parent) : QWidget(parent), throttle_(this) {
    // Everything the box covers is painted here: nothing behind it is repainted with it.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::TabFocus);
    setAccessibleDescription(text_);
}

void KvNumeric::setValue(int value) {
    if (value == value_)
        return;
    value_ = value;
    text_ = QString::number(value);
    setAccessibleDescription(text_);
    throttle_.request();
}

QSize KvNumeric::sizeHint() const {
    const QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(QStringLiteral("000000")) + 2 * MARGIN,
            metrics.height() + MARGIN};
}

void KvNumeric::changeEvent(QEvent *event) {
    if (event->type() == QEvent::FontChange || event->type() == QEvent::PaletteChange)
        characters_[0] = QPixmap();
    QWidget::changeEvent(event);
}

void KvNumeric::drawCharacters() {
    const QFontMetrics metrics(font());
    // Digits are equally wide in the fonts a panel uses; the widest decides the cell.
    characterWidth_ = 0;
    for (const QChar c : CHARACTERS)
        characterWidth_ = std::max(characterWidth_, metrics.horizontalAdvance(c));
    const qreal ratio = devicePixelRatioF();
    for (int i = 0; i < CHARACTERS.size(); ++i) {
        QPixmap cell(QSize(characterWidth_, metrics.height()) * ratio);
        cell.setDevicePixelRatio(ratio);
        cell.fill(palette().base().color());
        QPainter painter(&cell);
        painter.setFont(font());
        painter.setPen(palette().text().color());
        painter.drawText(QRect(0, 0, characterWidth_, metrics.height()), Qt::AlignCenter,
                         CHARACTERS.at(i));
        characters_[i] = cell;
    }
}

void KvNumeric::paintEvent(QPaintEvent *) {
    throttle_.painted();
    if (characters_[0].isNull())
        drawCharacters();
    QPainter painter(this);
    painter.fillRect(rect(), palette().base());
    painter.setPen(palette().mid().color());
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
    if (hasFocus()) {
        painter.setPen(QPen(palette().highlight().color(), 2));
        painter.drawRect(rect().adjusted(1, 1, -1, -1));
    }
    const int top = (height() - QFontMetrics(font()).height()) / 2;
    int x = width() - MARGIN - int(text_.size()) * characterWidth_;
    for (const QChar c : text_) {
        painter.drawPixmap(x, top, characters_[CHARACTERS.indexOf(c)]);
        x += characterWidth_;
    }
}
