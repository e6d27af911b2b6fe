// The frame log window: the newest lines kept in a ring at little cost per line, and a table of
// their columns that follows them only while it is shown and not paused, rebuilt from the ring
// when it is.
#include "framelog.h"

#include "filedialog.h"
#include "internal.h"
#include "panel.h"
#include "secondary_window.h"
#include "utility.h"

#include <QAbstractTableModel>
#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeySequence>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QStringList>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <deque>
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

// The columns of a line ("ms<TAB>TX|RX<TAB>count<TAB>hex<TAB>meaning"), the meaning before the
// bytes: it is what is read, the bytes what is checked. A line of another shape is all meaning.
enum Column { TIME, DIRECTION, COUNT, MEANING, BYTES, COLUMNS };
const int FIELD_OF_COLUMN[COLUMNS] = {0, 1, 2, 4, 3};
const char *const COLUMN_TITLES[COLUMNS] = {"ms", "Dir", "Bytes", "Meaning", "Hex"};
// The widest text each column is sized for, in the view's fixed font.
const char *const COLUMN_SAMPLES[COLUMNS] = {
    "99999999.9", "Dir", "Bytes", "answer LIVE_VALUES 65535 65535 65535 65535 65535 65535 65535",
    "00 55 00 05 00 AA 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
    "00 00 00 00 00 00"};
const int FIELDS = 5;
// Rows the window opens with room for, beyond what its layout asks.
const int VISIBLE_ROWS = 20;

class LineTable : public QAbstractTableModel {
  public:
    int rowCount(const QModelIndex &parent = {}) const override {
        return parent.isValid() ? 0 : int(lines_.size());
    }
    int columnCount(const QModelIndex &parent = {}) const override {
        return parent.isValid() ? 0 : COLUMNS;
    }
    QVariant data(const QModelIndex &index, int role) const override {
        if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
            return {};
        const QStringList &fields = lines_[size_t(index.row())];
        if (fields.size() != FIELDS)
            return index.column() == MEANING ? fields.join('\t') : QString();
        return fields[FIELD_OF_COLUMN[index.column()]];
    }
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
            return {};
        return QString::fromLatin1(COLUMN_TITLES[section]);
    }
    // Appends lines, dropping the oldest beyond FRAME_LOG_LINES.
    void append(const QStringList &lines) {
        if (lines.isEmpty())
            return;
        const int excess = int(lines_.size()) + int(lines.size()) - FRAME_LOG_LINES;
        if (excess > 0) {
            const int dropped = std::min(excess, int(lines_.size()));
            beginRemoveRows({}, 0, dropped - 1);
            lines_.erase(lines_.begin(), lines_.begin() + dropped);
            endRemoveRows();
        }
        const int kept = std::min(int(lines.size()), int(FRAME_LOG_LINES));
        beginInsertRows({}, int(lines_.size()), int(lines_.size()) + kept - 1);
        for (int i = int(lines.size()) - kept; i < int(lines.size()); ++i)
            lines_.push_back(lines[i].split('\t'));
        endInsertRows();
    }
    // The lines of rows, as the ring and a saved file have them.
    QString linesOf(QList<int> rows) const {
        std::sort(rows.begin(), rows.end());
        QStringList lines;
        for (int row : rows)
            lines << lines_[size_t(row)].join('\t');
        return lines.join('\n');
    }
    void clear() {
        beginResetModel();
        lines_.clear();
        endResetModel();
    }

  private:
    std::deque<QStringList> lines_;
};

LineRing ring;
bool wanted = false;

class FrameLogWindow : public QWidget {
  public:
    FrameLogWindow() {
        MakeSecondaryWindow(this, "FRAMELOG", tr("Frame log"));
        auto *caption = new QLabel(tr("&Frames"), this);
        view_ = new QTableView(this);
        view_->setObjectName(QStringLiteral("FRAMELOG_LINES"));
        view_->setAccessibleName(tr("Frames"));
        view_->setModel(&table_);
        view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
        view_->setSelectionBehavior(QAbstractItemView::SelectRows);
        view_->setWordWrap(false);
        view_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
        // Rows of one height and columns of set widths: ten thousand rows cost nothing to lay out.
        view_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
        view_->verticalHeader()->setDefaultSectionSize(view_->fontMetrics().height() + 4);
        view_->verticalHeader()->hide();
        for (int column = 0; column < COLUMNS; ++column)
            view_->setColumnWidth(column, view_->fontMetrics().horizontalAdvance(
                                              QString::fromLatin1(COLUMN_SAMPLES[column])) +
                                              2 * view_->fontMetrics().averageCharWidth());
        view_->horizontalHeader()->setStretchLastSection(true);
        caption->setBuddy(view_);
        // The rows picked go to the clipboard as the lines they are.
        auto *copy = new QShortcut(QKeySequence::Copy, view_, nullptr, nullptr, Qt::WidgetShortcut);
        connect(copy, &QShortcut::activated, this, [this] {
            QList<int> rows;
            for (const QModelIndex &index : view_->selectionModel()->selectedRows())
                rows << index.row();
            QApplication::clipboard()->setText(table_.linesOf(rows));
        });
        pause_ = NewWindowButton(tr("&Pause"), "FRAMELOG_PAUSE", this);
        pause_->setCheckable(true);
        QPushButton *clear = NewWindowButton(tr("&Clear"), "FRAMELOG_CLEAR", this);
        QPushButton *save = NewWindowButton(tr("&Save…"), "FRAMELOG_SAVE", this);
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
            table_.clear();
            status_->clear();
            pending_.clear();
            stale_ = false;
        });
        connect(save, &QPushButton::clicked, this, [this] { saveLines(); });
    }

    QSize sizeHint() const override {
        int width = 0;
        for (int column = 0; column < COLUMNS; ++column)
            width += view_->columnWidth(column);
        const int margins = 2 * (layout()->contentsMargins().left() + view_->frameWidth()) +
                            view_->verticalScrollBar()->sizeHint().width();
        return {width + margins, QWidget::sizeHint().height() +
                                     VISIBLE_ROWS * view_->verticalHeader()->defaultSectionSize()};
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
            showNewest(pending_);
        pending_.clear();
    }

    void refill() {
        QStringList lines;
        lines.reserve(int(ring.size()));
        for (size_t i = 0; i < ring.size(); ++i)
            lines << QString::fromLocal8Bit(ring.at(i));
        table_.clear();
        showNewest(lines);
        stale_ = false;
    }

    // The view follows the newest line unless the operator scrolled back to read.
    void showNewest(const QStringList &lines) {
        const QScrollBar *bar = view_->verticalScrollBar();
        const bool following = table_.rowCount() == 0 || bar->value() == bar->maximum();
        table_.append(lines);
        if (following)
            view_->scrollToBottom();
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

    LineTable table_;
    QTableView *view_;
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
    const int shown = ShowTheWindow(window);
    wanted = wanted || shown == 0;
    return shown;
}

int FrameLogWindowWanted(void) {
    return wanted ? 1 : 0;
}

void AppendFrameLogLine(const char *line) {
    ring.add(line ? line : "");
    if (window)
        window->lineAdded(line ? line : "");
}
