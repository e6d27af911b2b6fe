// The process entry and the application's creation. Qt aborts when it cannot open a display,
// so that case is checked first and reported as a failure instead.
#include "start.h"

#include "internal.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <memory>
#include <string>

namespace {

int appArgc = 0;
std::unique_ptr<QCoreApplication> application;

std::string platformName(int argc, char **argv) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0)
            return argv[i + 1];
    const char *env = std::getenv("QT_QPA_PLATFORM");
    return env && *env ? env : "xcb";
}

// Asks the X server itself, through the library Qt's own plugin uses.
bool xDisplayReachable() {
    const char *display = std::getenv("DISPLAY");
    if (!display || !*display)
        return false;
    void *xcb = dlopen("libxcb.so.1", RTLD_LAZY | RTLD_LOCAL);
    if (!xcb)
        return true; // cannot ask; let Qt try
    using Connect = void *(*)(const char *, int *);
    using HasError = int (*)(void *);
    using Disconnect = void (*)(void *);
    auto connect = reinterpret_cast<Connect>(dlsym(xcb, "xcb_connect"));
    auto hasError = reinterpret_cast<HasError>(dlsym(xcb, "xcb_connection_has_error"));
    auto disconnect = reinterpret_cast<Disconnect>(dlsym(xcb, "xcb_disconnect"));
    bool reachable = true;
    if (connect && hasError && disconnect) {
        void *connection = connect(nullptr, nullptr);
        reachable = hasError(connection) == 0;
        disconnect(connection);
    }
    dlclose(xcb);
    return reachable;
}

void fatalDuringStart(QtMsgType type, const QMessageLogContext &, const QString &message) {
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "kelvaro: cannot start the user interface: %s\n",
                     qPrintable(message.section('\n', 0, 0)));
        std::_Exit(255);
    }
}

} // namespace

int InitCVIRTEEx(HINSTANCE instance, char **, void *) {
    if (QApplication::instance())
        return 1;
    if (!instance)
        return 0;
    const std::string platform = platformName(instance->argc, instance->argv);
    if (platform.rfind("xcb", 0) == 0 && !xDisplayReachable())
        return 0;
    appArgc = instance->argc;
    const QtMessageHandler previous = qInstallMessageHandler(fatalDuringStart);
    application = std::make_unique<QApplication>(appArgc, instance->argv);
    qInstallMessageHandler(previous);
    QApplication::setApplicationName(QStringLiteral("kelvaro"));
    QApplication::setQuitOnLastWindowClosed(false);
    // A steady text cursor: a blinking one would wake an idle program twice a second.
    QApplication::setCursorFlashTime(0);
    InstallStopSignals();
    return 1;
}

int InitCoreApplication(HINSTANCE instance) {
    if (QCoreApplication::instance())
        return 1;
    if (!instance)
        return 0;
    appArgc = instance->argc;
    // Qt's own dispatcher wakes without GLib's handshake on an eventfd: the station wakes for
    // the answers of every controller, and pays that on each wake.
    qputenv("QT_NO_GLIB", "1");
    application = std::make_unique<QCoreApplication>(appArgc, instance->argv);
    QCoreApplication::setApplicationName(QStringLiteral("kelvaro"));
    InstallStopSignals();
    return 1;
}

void EndApplication(void) {
    application.reset();
}
