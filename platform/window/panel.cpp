// Panels from Qt Designer forms: controls found by their ctrlId property, callbacks bound by
// name, Qt's input turned into the panel events, values and attributes by control number.
#include "panel.h"

#include "internal.h"
#include "utility.h"
#include "widgets.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTimer>
#include <QUiLoader>

#include <map>
#include <string>

namespace {

const char PANEL_PROPERTY[] = "kvPanel";
const char CONTROL_PROPERTY[] = "kvControl";
const char LAST_VALUE_PROPERTY[] = "kvLastValue";
const char CREATED_PROPERTY[] = "kvCreated";
const int BANNER_PADDING_X = 14;
const int BANNER_PADDING_Y = 6;
// Set while a mouse press on a command button has given its left click, until the release is done.
const char MOUSE_DOWN_PROPERTY[] = "kvMouseDown";

struct Panel {
    QPointer<QWidget> window;
    PanelCallbackPtr callback = nullptr;
    std::map<int, QPointer<QWidget>> controls;
    std::map<int, QPointer<QAction>> menuItems; // the menu bar's items, numbered as controls
    std::map<int, CtrlCallbackPtr> callbacks;
    int nextControlId = 1;
};

std::map<int, Panel> panels;
int nextPanelHandle = 1;
std::map<std::string, PanelCallbackPtr> panelCallbacks;
std::map<std::string, CtrlCallbackPtr> ctrlCallbacks;
QString lastPanelError;

class FormLoader : public QUiLoader {
  public:
    QWidget *createWidget(const QString &className, QWidget *parent, const QString &name) override {
        QWidget *widget = CreatePlatformWidget(className, parent);
        if (!widget)
            return QUiLoader::createWidget(className, parent, name);
        widget->setObjectName(name);
        return widget;
    }
};

void fireControlEvent(QObject *widget, int event) {
    const int handle = widget->property(PANEL_PROPERTY).toInt();
    const int control = widget->property(CONTROL_PROPERTY).toInt();
    auto panel = panels.find(handle);
    if (panel == panels.end())
        return;
    auto callback = panel->second.callbacks.find(control);
    if (callback != panel->second.callbacks.end())
        callback->second(handle, control, event, nullptr, 0, 0);
}

void firePanelEvent(int handle, int event) {
    auto panel = panels.find(handle);
    if (panel != panels.end() && panel->second.callback)
        panel->second.callback(handle, event, nullptr, 0, 0);
}

// Mouse presses on command buttons, and the window's close and focus.
class EventFilter : public QObject {
  public:
    bool eventFilter(QObject *object, QEvent *event) override {
        const int handle = object->property(PANEL_PROPERTY).toInt();
        switch (event->type()) {
        case QEvent::MouseButtonPress:
            if (static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton &&
                object->property(CONTROL_PROPERTY).isValid()) {
                object->setProperty(MOUSE_DOWN_PROPERTY, true);
                fireControlEvent(object, EVENT_LEFT_CLICK);
                // A callback that opened a dialog had the release: the button must not stay
                // down waiting for it.
                if (!(QGuiApplication::mouseButtons() & Qt::LeftButton)) {
                    object->setProperty(MOUSE_DOWN_PROPERTY, false);
                    return true;
                }
            }
            break;
        case QEvent::MouseButtonRelease:
            // Released off the button: no click comes to end the press.
            if (object->property(MOUSE_DOWN_PROPERTY).toBool())
                QTimer::singleShot(0, object,
                                   [object] { object->setProperty(MOUSE_DOWN_PROPERTY, false); });
            break;
        case QEvent::Close:
            if (!object->property(CONTROL_PROPERTY).isValid() && panels.count(handle) &&
                panels[handle].callback) {
                event->ignore();
                firePanelEvent(handle, EVENT_CLOSE);
                return true;
            }
            break;
        case QEvent::WindowActivate:
        case QEvent::WindowDeactivate:
            if (!object->property(CONTROL_PROPERTY).isValid())
                firePanelEvent(handle, event->type() == QEvent::WindowActivate ? EVENT_GOT_FOCUS
                                                                               : EVENT_LOST_FOCUS);
            break;
        default:
            break;
        }
        return false;
    }
};

EventFilter *eventFilter() {
    static QPointer<EventFilter> filter;
    if (!filter) {
        filter = new EventFilter;
        filter->setParent(QCoreApplication::instance());
    }
    return filter;
}

// A ring's value is its item's number where the items carry one, else the item's index.
int ringValue(const QComboBox *ring) {
    const QVariant data = ring->currentData();
    return data.isValid() ? data.toInt() : ring->currentIndex();
}

// A change by the operator gives value changed, then commit; SetCtrlVal blocks these signals.
void connectEvents(QWidget *widget) {
    auto changed = [widget] {
        fireControlEvent(widget, EVENT_VAL_CHANGED);
        fireControlEvent(widget, EVENT_COMMIT);
    };
    if (auto *button = qobject_cast<QPushButton *>(widget); button && !button->isCheckable()) {
        widget->installEventFilter(eventFilter());
        // The keyboard (its letter, Space, Enter) presses a button as the mouse does: the left
        // click first, then the commit, so that a button acting on either works from both.
        QObject::connect(button, &QPushButton::clicked, widget, [widget] {
            if (!widget->property(MOUSE_DOWN_PROPERTY).toBool())
                fireControlEvent(widget, EVENT_LEFT_CLICK);
            widget->setProperty(MOUSE_DOWN_PROPERTY, false);
            fireControlEvent(widget, EVENT_COMMIT);
        });
    } else if (auto *toggle = qobject_cast<QAbstractButton *>(widget)) {
        QObject::connect(toggle, &QAbstractButton::clicked, widget, changed);
    } else if (auto *ring = qobject_cast<QComboBox *>(widget)) {
        ring->setProperty(LAST_VALUE_PROPERTY, ringValue(ring));
        QObject::connect(ring, &QComboBox::activated, widget, [ring] {
            const int value = ringValue(ring);
            if (value != ring->property(LAST_VALUE_PROPERTY).toInt()) {
                ring->setProperty(LAST_VALUE_PROPERTY, value);
                fireControlEvent(ring, EVENT_VAL_CHANGED);
            }
            fireControlEvent(ring, EVENT_COMMIT);
        });
    } else if (auto *spin = qobject_cast<QSpinBox *>(widget)) {
        QObject::connect(spin, &QSpinBox::valueChanged, widget, changed);
    } else if (auto *timer = qobject_cast<KvTimer *>(widget)) {
        QObject::connect(timer, &KvTimer::tick, widget,
                         [widget] { fireControlEvent(widget, EVENT_TIMER_TICK); });
    }
}

QWidget *findControl(int panel, int control, int *error) {
    auto p = panels.find(panel);
    if (p == panels.end() || !p->second.window) {
        *error = UIE_PANEL_HANDLE;
        return nullptr;
    }
    auto c = p->second.controls.find(control);
    if (c == p->second.controls.end() || !c->second) {
        *error = UIE_CONTROL_ID;
        return nullptr;
    }
    return c->second;
}

int fail(const QString &why, int code) {
    lastPanelError = why;
    return code;
}

int bindCallback(Panel &panel, QObject *control, int id) {
    const QString name = control->property("callback").toString();
    if (name.isEmpty())
        return 0;
    auto callback = ctrlCallbacks.find(name.toStdString());
    if (callback == ctrlCallbacks.end())
        return fail(QStringLiteral("the panel names an unknown callback %1").arg(name),
                    UIE_CALLBACK);
    panel.callbacks[id] = callback->second;
    return 0;
}

// A menu item is a control too: choosing it commits, and a checkable one changes its value first.
int bindMenuItems(int handle, Panel &panel) {
    for (QAction *item : panel.window->findChildren<QAction *>()) {
        if (!item->objectName().startsWith(QLatin1String("PANEL_")))
            continue;
        const int id = item->property("ctrlId").toInt();
        if (id <= 0 || panel.controls.count(id) || panel.menuItems.count(id))
            return fail(
                QStringLiteral("menu item %1 needs a number of its own").arg(item->objectName()),
                UIE_RESOURCE);
        panel.menuItems[id] = item;
        item->setProperty(PANEL_PROPERTY, handle);
        item->setProperty(CONTROL_PROPERTY, id);
        if (const int result = bindCallback(panel, item, id))
            return result;
        QObject::connect(item, &QAction::triggered, item, [item] {
            if (item->isCheckable())
                fireControlEvent(item, EVENT_VAL_CHANGED);
            fireControlEvent(item, EVENT_COMMIT);
        });
    }
    // In the panel's own coordinates the menu bar stands above them, as on every desktop.
    if (auto *bar = panel.window->findChild<QMenuBar *>(QString(), Qt::FindDirectChildrenOnly);
        bar && panel.window->layout())
        panel.window->layout()->setMenuBar(bar);
    return 0;
}

QAction *findMenuItem(int panel, int control) {
    auto p = panels.find(panel);
    if (p == panels.end())
        return nullptr;
    auto item = p->second.menuItems.find(control);
    return item == p->second.menuItems.end() ? nullptr : item->second.data();
}

int menuBarHeight(QWidget *window) {
    auto *bar = window->findChild<QMenuBar *>(QString(), Qt::FindDirectChildrenOnly);
    return bar ? bar->sizeHint().height() : 0;
}

// Binds every PANEL_ control of a freshly loaded form; on failure the form is not kept.
int bindControls(int handle, Panel &panel) {
    const QList<QWidget *> widgets = panel.window->findChildren<QWidget *>();
    int highestFixedId = 0;
    for (QObject *control : panel.window->findChildren<QObject *>())
        highestFixedId = std::max(highestFixedId, control->property("ctrlId").toInt());
    panel.nextControlId = highestFixedId + 1;
    for (QWidget *widget : widgets) {
        if (!widget->objectName().startsWith(QLatin1String("PANEL_")))
            continue;
        const QVariant fixedId = widget->property("ctrlId");
        const int id = fixedId.isValid() ? fixedId.toInt() : panel.nextControlId++;
        if (panel.controls.count(id))
            return fail(QStringLiteral("control %1 is defined twice").arg(id), UIE_RESOURCE);
        panel.controls[id] = widget;
        widget->setProperty(PANEL_PROPERTY, handle);
        widget->setProperty(CONTROL_PROPERTY, id);
        if (const int result = bindCallback(panel, widget, id))
            return result;
        connectEvents(widget);
    }
    return bindMenuItems(handle, panel);
}

// The panel's "initialFocus" names the control that has the keyboard when it is first shown.
int focusFirstControl(Panel &panel) {
    const QString name = panel.window->property("initialFocus").toString();
    if (name.isEmpty())
        return 0;
    auto *first = panel.window->findChild<QWidget *>(name);
    if (!first)
        return fail(QStringLiteral("the panel's first control %1 is not on it").arg(name),
                    UIE_RESOURCE);
    first->setFocus(Qt::OtherFocusReason);
    return 0;
}

QColor colourOf(int rgb) {
    return QColor((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

int setTextColour(QWidget *widget, int attribute, int rgb) {
    QPalette palette = widget->palette();
    const bool background = attribute == ATTR_TEXT_BGCOLOR;
    if (auto *label = qobject_cast<QLabel *>(widget)) {
        palette.setColor(background ? QPalette::Window : QPalette::WindowText, colourOf(rgb));
        widget->setAutoFillBackground(true);
        // A coloured text message is a banner: text tight in its colour reads as selected text.
        if (background && label->property(CREATED_PROPERTY).toBool()) {
            label->setContentsMargins(BANNER_PADDING_X, BANNER_PADDING_Y, BANNER_PADDING_X,
                                      BANNER_PADDING_Y);
            label->adjustSize();
        }
    } else if (qobject_cast<QLineEdit *>(widget)) {
        palette.setColor(background ? QPalette::Base : QPalette::Text, colourOf(rgb));
    } else {
        return UIE_ATTRIBUTE;
    }
    widget->setPalette(palette);
    return 0;
}

// Text messages made by NewCtrl stand outside the layouts and grow with their text.
void fitLabel(QWidget *widget) {
    if (widget->property(CREATED_PROPERTY).toBool())
        widget->adjustSize();
}

bool readNumber(QWidget *widget, long long *value) {
    if (auto *spin = qobject_cast<QSpinBox *>(widget))
        *value = spin->value();
    else if (auto *ring = qobject_cast<QComboBox *>(widget))
        *value = ringValue(ring);
    else if (auto *button = qobject_cast<QAbstractButton *>(widget))
        *value = button->isChecked() ? 1 : 0;
    else if (auto *edit = qobject_cast<QLineEdit *>(widget))
        *value = edit->text().trimmed().toLongLong();
    else if (widget->metaObject()->indexOfProperty("value") >= 0)
        *value = widget->property("value").toLongLong();
    else
        return false;
    return true;
}

// The value of a number control or a menu item (1 checked), for the GetCtrlVal of each type.
int getNumber(int panel, int control, long long *number) {
    if (QAction *item = findMenuItem(panel, control)) {
        *number = item->isChecked() ? 1 : 0;
        return 0;
    }
    int error = 0;
    QWidget *widget = findControl(panel, control, &error);
    if (!widget)
        return error;
    return readNumber(widget, number) ? 0 : UIE_VALUE_TYPE;
}

} // namespace

void RegisterPanelCallback(const char *name, PanelCallbackPtr callback) {
    panelCallbacks[name] = callback;
}

void RegisterCtrlCallback(const char *name, CtrlCallbackPtr callback) {
    ctrlCallbacks[name] = callback;
}

int LoadPanel(int, const char *fileName, int resourceId) {
    if (!QApplication::instance())
        return fail(QStringLiteral("no application"), UIE_NO_APPLICATION);
    char directory[MAX_PATHNAME_LEN];
    const QString name = QString::fromLocal8Bit(fileName);
    const QString full = QDir::isAbsolutePath(name) || GetProgramDir(directory) != 0
                             ? name
                             : QDir(QString::fromLocal8Bit(directory)).filePath(name);
    QFile file(full);
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read %1: %2").arg(full, file.errorString()),
                    UIE_PANEL_FILE);
    FormLoader loader;
    QWidget *window = loader.load(&file);
    if (!window)
        return fail(QStringLiteral("%1 is not a panel file: %2").arg(full, loader.errorString()),
                    UIE_PANEL_FILE);
    if (window->property("ctrlId").toInt() != resourceId) {
        delete window;
        return fail(QStringLiteral("%1 holds no panel %2").arg(full).arg(resourceId), UIE_RESOURCE);
    }

    const int handle = nextPanelHandle++;
    Panel &panel = panels[handle];
    panel.window = window;
    window->setProperty(PANEL_PROPERTY, handle);
    window->installEventFilter(eventFilter());
    const QString panelCallback = window->property("callback").toString();
    int result = 0;
    if (!panelCallback.isEmpty()) {
        auto callback = panelCallbacks.find(panelCallback.toStdString());
        if (callback == panelCallbacks.end())
            result =
                fail(QStringLiteral("the panel names an unknown callback %1").arg(panelCallback),
                     UIE_CALLBACK);
        else
            panel.callback = callback->second;
    }
    if (result == 0)
        result = bindControls(handle, panel);
    if (result == 0)
        result = focusFirstControl(panel);
    if (result != 0) {
        panels.erase(handle);
        delete window;
        return result;
    }
    lastPanelError.clear();
    return handle;
}

void SetLastPanelError(const QString &why) {
    lastPanelError = why;
}

const char *LastPanelError(void) {
    static QByteArray text;
    text = lastPanelError.toLocal8Bit();
    return text.constData();
}

int DisplayPanel(int panel) {
    auto p = panels.find(panel);
    if (p == panels.end() || !p->second.window)
        return UIE_PANEL_HANDLE;
    p->second.window->show();
    p->second.window->raise();
    p->second.window->activateWindow();
    return 0;
}

int DiscardPanel(int panel) {
    auto p = panels.find(panel);
    if (p == panels.end())
        return UIE_PANEL_HANDLE;
    delete p->second.window.data();
    panels.erase(p);
    return 0;
}

QWidget *ShownPanelWindow() {
    for (auto &[handle, panel] : panels)
        if (panel.window && panel.window->isVisible())
            return panel.window;
    return nullptr;
}

void DeliverCloseToPanels() {
    bool delivered = false;
    for (auto &[handle, panel] : panels)
        if (panel.callback) {
            firePanelEvent(handle, EVENT_CLOSE);
            delivered = true;
        }
    if (!delivered)
        QuitUserInterface(0);
}

QWidget *PanelControlWidget(int panel, int control, int *error) {
    int ignored = 0;
    return findControl(panel, control, error ? error : &ignored);
}

int GetCtrlVal(int panel, int control, unsigned short *value) {
    long long number = 0;
    const int result = getNumber(panel, control, &number);
    if (result == 0)
        *value = static_cast<unsigned short>(number & 0xFFFF);
    return result;
}

int GetCtrlVal(int panel, int control, int *value) {
    long long number = 0;
    const int result = getNumber(panel, control, &number);
    if (result == 0)
        *value = static_cast<int>(number);
    return result;
}

int GetCtrlVal(int panel, int control, char *text, size_t size) {
    int error = 0;
    QWidget *widget = findControl(panel, control, &error);
    if (!widget)
        return error;
    if (!text || size == 0)
        return UIE_VALUE_TYPE;
    QString value;
    if (auto *edit = qobject_cast<QLineEdit *>(widget))
        value = edit->text();
    else if (auto *label = qobject_cast<QLabel *>(widget))
        value = label->text();
    else if (auto *ring = qobject_cast<QComboBox *>(widget))
        value = ring->currentText();
    else if (auto *button = qobject_cast<QAbstractButton *>(widget))
        value = button->text();
    else
        return UIE_VALUE_TYPE;
    const QByteArray bytes = value.toLocal8Bit().left(int(size) - 1);
    std::copy(bytes.begin(), bytes.end(), text);
    text[bytes.size()] = '\0';
    return 0;
}

int SetCtrlVal(int panel, int control, int value) {
    if (QAction *item = findMenuItem(panel, control)) {
        const QSignalBlocker quiet(item);
        item->setChecked(value != 0);
        return 0;
    }
    int error = 0;
    QWidget *widget = findControl(panel, control, &error);
    if (!widget)
        return error;
    const QSignalBlocker quiet(widget);
    if (auto *spin = qobject_cast<QSpinBox *>(widget)) {
        // A spin box repaints, and its group box with it, even for the value it shows.
        if (spin->value() != value)
            spin->setValue(value);
    } else if (auto *ring = qobject_cast<QComboBox *>(widget)) {
        int index = ring->findData(value);
        if (index < 0 && ring->itemData(0).isValid())
            return UIE_VALUE_TYPE;
        index = index >= 0 ? index : value;
        if (index < 0 || index >= ring->count())
            return UIE_VALUE_TYPE;
        ring->setCurrentIndex(index);
        ring->setProperty(LAST_VALUE_PROPERTY, value);
    } else if (auto *button = qobject_cast<QAbstractButton *>(widget)) {
        button->setChecked(value != 0);
    } else if (auto *edit = qobject_cast<QLineEdit *>(widget)) {
        // Live values are set many times a second, mostly unchanged: only a change repaints.
        const QString text = QString::number(value);
        if (edit->text() != text)
            edit->setText(text);
    } else if (auto *label = qobject_cast<QLabel *>(widget)) {
        label->setText(QString::number(value));
        fitLabel(label);
    } else if (widget->metaObject()->indexOfProperty("value") >= 0) {
        widget->setProperty("value", value);
    } else {
        return UIE_VALUE_TYPE;
    }
    return 0;
}

int SetCtrlVal(int panel, int control, const char *text) {
    int error = 0;
    QWidget *widget = findControl(panel, control, &error);
    if (!widget)
        return error;
    const QString value = QString::fromLocal8Bit(text ? text : "");
    if (auto *edit = qobject_cast<QLineEdit *>(widget)) {
        edit->setText(value);
        edit->setCursorPosition(0);
    } else if (auto *label = qobject_cast<QLabel *>(widget)) {
        label->setText(value);
        if (label->accessibleName().isEmpty() || label->property(CREATED_PROPERTY).toBool())
            label->setAccessibleName(value.trimmed());
        fitLabel(label);
    } else {
        return UIE_VALUE_TYPE;
    }
    return 0;
}

int SetCtrlAttribute(int panel, int control, int attribute, int value) {
    if (QAction *item = findMenuItem(panel, control)) {
        if (attribute == ATTR_DIMMED)
            item->setEnabled(value == 0);
        else if (attribute == ATTR_VISIBLE)
            item->setVisible(value != 0);
        else
            return UIE_ATTRIBUTE;
        return 0;
    }
    int error = 0;
    QWidget *widget = findControl(panel, control, &error);
    if (!widget)
        return error;
    switch (attribute) {
    case ATTR_DIMMED:
        widget->setEnabled(value == 0);
        return 0;
    case ATTR_VISIBLE:
        widget->setVisible(value != 0);
        return 0;
    case ATTR_TEXT_COLOR:
    case ATTR_TEXT_BGCOLOR:
        return setTextColour(widget, attribute, value);
    case ATTR_TEXT_POINT_SIZE: {
        if (value < 1)
            return UIE_VALUE_TYPE;
        QFont font = widget->font();
        font.setPointSize(value);
        widget->setFont(font);
        fitLabel(widget);
        return 0;
    }
    default:
        if (auto *custom = dynamic_cast<KvControl *>(widget))
            return custom->setIntAttribute(attribute, value);
        return UIE_ATTRIBUTE;
    }
}

int SetCtrlAttribute(int panel, int control, int attribute, const char *value) {
    int error = 0;
    QWidget *widget = findControl(panel, control, &error);
    if (!widget)
        return error;
    const QString text = QString::fromLocal8Bit(value ? value : "");
    if (attribute == ATTR_LABEL_TEXT) {
        auto *button = qobject_cast<QAbstractButton *>(widget);
        if (!button)
            return UIE_ATTRIBUTE;
        button->setText(text);
        return 0;
    }
    if (attribute == ATTR_TEXT_FONT) {
        // "NIApp" names the application's own font.
        QFont font = widget->font();
        font.setFamily(text == QLatin1String("NIApp") ? QApplication::font().family() : text);
        widget->setFont(font);
        fitLabel(widget);
        return 0;
    }
    if (auto *custom = dynamic_cast<KvControl *>(widget))
        return custom->setTextAttribute(attribute, text);
    return UIE_ATTRIBUTE;
}

int NewCtrl(int panel, int style, const char *label, int top, int left) {
    auto p = panels.find(panel);
    if (p == panels.end() || !p->second.window)
        return UIE_PANEL_HANDLE;
    if (style != CTRL_TEXT_MSG)
        return UIE_VALUE_TYPE;
    auto *message = new QLabel(QString::fromLocal8Bit(label ? label : ""), p->second.window);
    const int id = p->second.nextControlId++;
    message->setObjectName(QStringLiteral("TEXTMSG_%1").arg(id));
    message->setProperty(CREATED_PROPERTY, true);
    message->setProperty(PANEL_PROPERTY, panel);
    message->setProperty(CONTROL_PROPERTY, id);
    message->setMargin(2);
    message->move(left, top + menuBarHeight(p->second.window));
    message->adjustSize();
    message->raise();
    message->show();
    p->second.controls[id] = message;
    return id;
}
