// kelvaro-bench: runs the program in this process against the paced simulator and prints one
// figure a line, "name = value unit".
#include "KELVARO1V10.h"

#include "internal.h"
#include "start.h"
#include "utility.h"

#include "kelvaro_sim.h"

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

double startedAt = 0;
double shownAt = 0;

// Notes when the panel first shows and then closes it, which ends WinMain.
class PanelShown : public QObject {
  public:
    bool eventFilter(QObject *object, QEvent *event) override {
        auto *widget = qobject_cast<QWidget *>(object);
        if (event->type() == QEvent::Show && shownAt == 0 && widget && widget->isWindow() &&
            widget->objectName() == QLatin1String("PANEL")) {
            shownAt = Timer();
            QTimer::singleShot(0, widget, [widget] { widget->close(); });
        }
        return false;
    }
};

void watchForThePanel() {
    QCoreApplication::instance()->installEventFilter(new PanelShown);
}
Q_COREAPP_STARTUP_FUNCTION(watchForThePanel)

void print(const char *name, double value, const char *unit, const char *note) {
    std::printf("%s = %.3f %s%s%s\n", name, value, unit, *note ? "    # " : "", note);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv) {
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const std::string link = "/tmp/kelvaro-bench-" + std::to_string(getpid()) + "-COM1";
    kvsim::Simulator sim;
    std::string error;
    if (!sim.start(link, &error)) {
        std::fprintf(stderr, "kelvaro-bench: cannot start the simulator: %s\n", error.c_str());
        return 1;
    }
    setenv("KELVARO_COM1", link.c_str(), 1);

    PlatformInstance instance{argc, argv};
    startedAt = Timer();
    const int code = WinMain(&instance, nullptr, nullptr, 1);
    if (code != 0 || shownAt == 0) {
        std::fprintf(stderr, "kelvaro-bench: the program did not start (%d)\n", code);
        return 1;
    }
    print("startup_to_panel_s", shownAt - startedAt, "s",
          "application, panel file, line check, RAM read and firmware text; aim < 0.5");
    EndApplication();
    return 0;
}
