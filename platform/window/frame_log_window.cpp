// The frame log window: the newest lines kept in a ring at little cost per line, and a text view
// that follows them only while it is shown and not paused, rebuilt from the ring when it is.
#include "framelog.h"

#include "filedialog.h"
#include "internal.h"
#include "panel.h"
#include "utility.h"

#include <QApplication>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QShortcut>
#include <QStringList>
#include <QTimer>
#include <QVBoxLayout>

#include <vector>

namespace {

const char DEFAULT_FILE[] = "kelvaro-frames.log";
const char FILE_TYPES[] = "*.log";
const char TITLE[] = "Save frame log";
// Lines reach the view together at most this often: each append and the repaint after it cost
// far more than the line, and a tenth of a second still reads as at once.
const int FLUSH_MS = 100;

// The newest FRAME_LOG_LINES lines. Once full, each line overwrites the oldest in place, which
// reuses its storage: the steady state allocates nothing.
class LineRing {
  public:
    void add(const char *line) {
        if (lines_.size() < size_t(FRAME_LOG_LINES)) {
            lines_.emplace_back(line);
            return;
        }
        lines_[first_] = line;
        first_ = (first_ + 1) % lines_.size();
    }
    void clear() {
        lines_.clear();
        first_ = 0;
    }
    size_t size() const { return lines_.size(); }
    // Oldest first.
    const QByteArray &at(size_t index) const { return lines_[(first_ + index) % lines_.size()]; }

  private:
    std::vector<QByteArray> lines_;
    size_t first_ = 0;
};

LineRing ring;
bool wanted = false;

QPushButton *newButton(const QString &label, const char *name, QWidget *parent) {
    auto *button = new QPushButton(label, parent);
    button->setObjectName(QLatin1String(name));
    button->setAccessibleName(QString(label).remove('&'));
    button->setAutoDefault(false);
    return button;
}

class FrameLogWindow : public QWidget {
  public:
    FrameLogWindow() {
        setObjectName(QStringLiteral("FRAMELOG"));
        setWindowTitle(tr("Frame log"));
        auto *caption = new QLabel(tr("&Frames"), this);
        view_ = new QPlainTextEdit(this);
        view_->setObjectName(QStringLiteral("FRAMELOG_LINES"));
        view_->setAccessibleName(tr("Frames"));
        view_->setReadOnly(true);
        view_->setUndoRedoEnabled(false);
        view_->setLineWrapMode(QPlainTextEdit::NoWrap);
        view_->setMaximumBlockCount(FRAME_LOG_LINES);
        view_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
        // Read-only text still takes the keyboard, to scroll and select for copying.
        view_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        caption->setBuddy(view_);
        pause_ = newButton(tr("&Pause"), "FRAMELOG_PAUSE", this);
        pause_->setCheckable(true);
        QPushButton *clear = newButton(tr("&Clear"), "FRAMELOG_CLEAR", this);
        QPushButton *save = newButton(tr("&Save…"), "FRAMELOG_SAVE", this);
        status_ = new QLabel(this);
        status_->setObjectName(QStringLiteral("FRAMELOG_STATUS"));
        status_->setTextInteractionFlags(Qt::TextSelectableByMouse);

        auto *buttons = new QHBoxLayout;
        buttons->addWidget(status_, 1);
        buttons->addWidget(pause_);
        buttons->addWidget(clear);
        buttons->addWidget(save);
        auto *layout = new QVBoxLayout(this);
        layout->addWidget(caption);
        layout->addWidget(view_, 1);
        layout->addLayout(buttons);
        resize(960, 480);

        flush_.setSingleShot(true);
        flush_.setInterval(FLUSH_MS);
        connect(&flush_, &QTimer::timeout, this, [this] { flush(); });
        // Lines that came before the pause are still shown; the view then holds still.
        connect(pause_, &QPushButton::toggled, this, [this] {
            flush_.stop();
            if (isVisible())
                catchUp();
        });
        connect(clear, &QPushButton::clicked, this, [this] {
            ring.clear();
            view_->clear();
            status_->clear();
            pending_.clear();
            stale_ = false;
        });
        connect(save, &QPushButton::clicked, this, [this] { saveLines(); });
        auto *escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
        connect(escape, &QShortcut::activated, this, &QWidget::close);
    }

    // Called for each line after the ring took it.
    void lineAdded(const char *line) {
        if (!following() || pending_.size() >= FRAME_LOG_LINES) {
            stale_ = true;
            return;
        }
        pending_ << QString::fromLocal8Bit(line);
        if (!flush_.isActive())
            flush_.start();
    }

  protected:
    void showEvent(QShowEvent *event) override {
        QWidget::showEvent(event);
        flush();
    }
    void hideEvent(QHideEvent *event) override {
        QWidget::hideEvent(event);
        // The ring has them: the view is rebuilt from it when shown again.
        flush_.stop();
        stale_ = stale_ || !pending_.isEmpty();
        pending_.clear();
    }

  private:
    bool following() const { return isVisible() && !pause_->isChecked(); }

    void flush() {
        flush_.stop();
        if (following())
            catchUp();
    }

    // Brings the view up to the ring's newest lines.
    void catchUp() {
        if (stale_)
            refill();
        else if (!pending_.isEmpty())
            view_->appendPlainText(pending_.join('\n'));
        pending_.clear();
    }

    void refill() {
        QString text;
        for (size_t i = 0; i < ring.size(); ++i) {
            if (i > 0)
                text += '\n';
            text += QString::fromLocal8Bit(ring.at(i));
        }
        view_->setPlainText(text);
        view_->moveCursor(QTextCursor::End);
        view_->ensureCursorVisible();
        stale_ = false;
    }

    void saveLines() {
        char directory[MAX_PATHNAME_LEN];
        char path[MAX_PATHNAME_LEN];
        if (GetProjectDir(directory) != 0)
            directory[0] = '\0';
        const int chosen = FileSelectPopup(directory, DEFAULT_FILE, FILE_TYPES, TITLE,
                                           VAL_SAVE_BUTTON, 0, 1, 1, 1, path);
        if (chosen == FILE_SELECT_ERROR) {
            status_->setText(tr("The frame log was not saved: the path is too long."));
            return;
        }
        if (!MayWriteChosenFile(chosen, TITLE, path))
            return;
        const QString name = QString::fromLocal8Bit(path);
        QByteArray bytes;
        for (size_t i = 0; i < ring.size(); ++i) {
            bytes += ring.at(i);
            bytes += '\n';
        }
        QString why;
        if (SaveFileWhole(name, bytes, &why))
            status_->setText(tr("The frame log was saved to %1.").arg(name));
        else
            status_->setText(tr("The frame log was not saved to %1: %2").arg(name, why));
    }

    QPlainTextEdit *view_;
    QPushButton *pause_;
    QLabel *status_;
    QTimer flush_;
    // Lines for the view at the next flush.
    QStringList pending_;
    // The view misses lines the ring holds, not all of them pending: it is rebuilt at the next
    // flush.
    bool stale_ = true;
};

QPointer<FrameLogWindow> window;

} // namespace

int ShowFrameLogWindow(void) {
    if (!QApplication::instance())
        return UIE_NO_APPLICATION;
    if (!window)
        window = new FrameLogWindow;
    window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
    window->show();
    window->raise();
    window->activateWindow();
    wanted = true;
    return 0;
}

int FrameLogWindowWanted(void) {
    return wanted ? 1 : 0;
}

void AppendFrameLogLine(const char *line) {
    ring.add(line ? line : "");
    if (window)
        window->lineAdded(line ? line : "");
}
