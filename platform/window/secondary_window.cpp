// Windows beside the panel: placed over it, closed by Esc, their geometry in the program's
// settings (~/.config/kelvaro/kelvaro.conf).
#include "secondary_window.h"

#include "internal.h"

#include <QApplication>
#include <QEvent>
#include <QKeySequence>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QShortcut>
#include <QWidget>

#include <algorithm>

namespace {

const char NAME_PROPERTY[] = "kvSecondaryName";
const char PLACED_PROPERTY[] = "kvPlaced";
// A window never opens larger than this share of the screen's free area.
const double MOST_OF_SCREEN = 0.9;

QSettings programSettings() {
    return QSettings(QStringLiteral("kelvaro"), QStringLiteral("kelvaro"));
}

QString geometryKey(const QWidget *window) {
    return QStringLiteral("windows/%1").arg(window->property(NAME_PROPERTY).toString());
}

// Keeps the geometry each time the window goes, whether by Esc, its close button or the program's
// end.
class GeometryKeeper : public QObject {
  public:
    using QObject::QObject;
    bool eventFilter(QObject *object, QEvent *event) override {
        auto *window = static_cast<QWidget *>(object);
        if (event->type() == QEvent::Hide && window->property(PLACED_PROPERTY).toBool())
            programSettings().setValue(geometryKey(window), window->saveGeometry());
        return false;
    }
};

void placeFirstTime(QWidget *window) {
    QWidget *panel = ShownPanelWindow();
    if (panel && !window->parentWidget())
        window->setParent(panel, window->windowFlags() | Qt::Window);
    const QByteArray kept = programSettings().value(geometryKey(window)).toByteArray();
    if (!kept.isEmpty() && window->restoreGeometry(kept))
        return;
    QScreen *screen = panel ? panel->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect room = screen->availableGeometry();
    const QSize most(int(room.width() * MOST_OF_SCREEN), int(room.height() * MOST_OF_SCREEN));
    window->resize(window->sizeHint().boundedTo(most).expandedTo(window->minimumSizeHint()));
    // The frame the desktop adds, where the platform knows it before the window is shown.
    window->winId();
    QRect frame(QPoint(), window->frameGeometry().size());
    frame.moveCenter(panel ? panel->frameGeometry().center() : room.center());
    frame.moveLeft(std::max(room.left(), std::min(frame.left(), room.right() - frame.width())));
    frame.moveTop(std::max(room.top(), std::min(frame.top(), room.bottom() - frame.height())));
    window->move(frame.topLeft());
}

} // namespace

void MakeSecondaryWindow(QWidget *window, const char *name, const QString &title) {
    window->setObjectName(QString::fromLatin1(name));
    window->setWindowTitle(title);
    window->setProperty(NAME_PROPERTY, QString::fromLatin1(name).toLower());
    window->installEventFilter(new GeometryKeeper(window));
    auto *escape = new QShortcut(QKeySequence(Qt::Key_Escape), window);
    QObject::connect(escape, &QShortcut::activated, window, &QWidget::close);
}

void ShowSecondaryWindow(QWidget *window) {
    if (!window->property(PLACED_PROPERTY).toBool()) {
        placeFirstTime(window);
        window->setProperty(PLACED_PROPERTY, true);
    }
    window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
    window->show();
    window->raise();
    window->activateWindow();
}

QPushButton *NewWindowButton(const QString &label, const char *name, QWidget *window) {
    auto *button = new QPushButton(label, window);
    button->setObjectName(QLatin1String(name));
    button->setAccessibleName(QString(label).remove('&'));
    button->setAutoDefault(false);
    return button;
}
