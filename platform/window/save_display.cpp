// A control's display written to a picture file: a PNG or an SVG made in memory, then put on the
// disk whole so that a failed write never leaves half a picture.
#include "panel.h"

#include "internal.h"

#include <QBuffer>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QSvgGenerator>
#include <QWidget>

namespace {

// Scaling the painter leaves the control untouched: resizing it would disturb the panel's layout.
void paintScaled(QWidget *widget, QPainter &painter, const QSize &size) {
    const QSize own = widget->size();
    painter.scale(double(size.width()) / own.width(), double(size.height()) / own.height());
    widget->render(&painter);
}

bool png(QWidget *widget, const QSize &size, QByteArray *bytes) {
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
        return false;
    image.fill(Qt::transparent);
    QPainter painter(&image);
    paintScaled(widget, painter, size);
    painter.end();
    QBuffer buffer(bytes);
    return buffer.open(QIODevice::WriteOnly) && image.save(&buffer, "PNG");
}

bool svg(QWidget *widget, const QSize &size, QByteArray *bytes) {
    QBuffer buffer(bytes);
    QSvgGenerator generator;
    generator.setOutputDevice(&buffer);
    generator.setSize(size);
    generator.setViewBox(QRect(QPoint(0, 0), size));
    // Fonts are sized for the screen the control is laid out for, not the generator's 72 dpi.
    generator.setResolution(widget->logicalDpiY());
    QPainter painter;
    if (!painter.begin(&generator))
        return false;
    paintScaled(widget, painter, size);
    return painter.end();
}

} // namespace

// The controls draw their own labels, so the label flag changes nothing.
int SaveCtrlDisplayToFile(int panel, int control, int, int height, int width,
                          const char *fileName) {
    int error = 0;
    QWidget *widget = PanelControlWidget(panel, control, &error);
    if (!widget)
        return error;
    const QString name = QString::fromLocal8Bit(fileName ? fileName : "");
    const QString extension = QFileInfo(name).suffix().toLower();
    if (extension != QLatin1String("png") && extension != QLatin1String("svg"))
        return UIE_VALUE_TYPE;
    const QSize size(width == -1 ? widget->width() : width,
                     height == -1 ? widget->height() : height);
    if (size.isEmpty() || widget->size().isEmpty())
        return UIE_VALUE_TYPE;
    QByteArray bytes;
    const bool drawn =
        extension == QLatin1String("png") ? png(widget, size, &bytes) : svg(widget, size, &bytes);
    if (!drawn)
        return UIE_VALUE_TYPE;
    QString why;
    if (SaveFileWhole(name, bytes, &why))
        return 0;
    SetLastPanelError(name + QLatin1String(": ") + why);
    return UIE_FILE_WRITE;
}
