// The manual window: the operator's guide, carried inside the program as a resource, with a find
// field; links to the guide's sections stay in the window, others go to the desktop.
#include "manual.h"

#include "panel.h"
#include "secondary_window.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace {

const char MANUAL_PAGE[] = "qrc:/manual/manual.html";
// Room for the guide's widest part, its picture of the panel, and for a screen of text.
const QSize READING_SIZE(980, 760);

class ManualWindow : public QWidget {
  public:
    ManualWindow() {
        MakeSecondaryWindow(this, "MANUAL", tr("kelvaro manual"));
        text_ = new QTextBrowser(this);
        text_->setObjectName(QStringLiteral("MANUAL_TEXT"));
        text_->setAccessibleName(tr("Manual"));
        text_->setOpenExternalLinks(true);
        text_->setSource(QUrl(QString::fromLatin1(MANUAL_PAGE)));
        if (text_->toPlainText().isEmpty())
            text_->setPlainText(tr("The manual is missing from this program: %1 is empty. It is "
                                   "installed as /usr/share/doc/kelvaro/manual.html too.")
                                    .arg(QString::fromLatin1(MANUAL_PAGE)));

        auto *caption = new QLabel(tr("&Find"), this);
        find_ = new QLineEdit(this);
        find_->setObjectName(QStringLiteral("MANUAL_FIND"));
        find_->setAccessibleName(tr("Find in the manual"));
        find_->setPlaceholderText(tr("a word, e.g. Teach or Timeout"));
        find_->setClearButtonEnabled(true);
        find_->installEventFilter(this);
        caption->setBuddy(find_);
        auto *previous = NewWindowButton(tr("&Previous"), "MANUAL_PREVIOUS", this);
        auto *next = NewWindowButton(tr("&Next"), "MANUAL_NEXT", this);
        auto *contents = NewWindowButton(tr("&Contents"), "MANUAL_CONTENTS", this);
        found_ = new QLabel(this);
        found_->setObjectName(QStringLiteral("MANUAL_FOUND"));

        auto *bar = new QHBoxLayout;
        bar->addWidget(caption);
        bar->addWidget(find_, 1);
        bar->addWidget(previous);
        bar->addWidget(next);
        bar->addWidget(found_);
        bar->addStretch();
        bar->addWidget(contents);
        auto *layout = new QVBoxLayout(this);
        layout->addLayout(bar);
        layout->addWidget(text_, 1);

        connect(find_, &QLineEdit::returnPressed, this, [this] { find(true); });
        connect(next, &QPushButton::clicked, this, [this] { find(true); });
        connect(previous, &QPushButton::clicked, this, [this] { find(false); });
        connect(contents, &QPushButton::clicked, text_, &QTextBrowser::home);
    }

    QSize sizeHint() const override { return READING_SIZE; }

  protected:
    // Shift+Enter in the find field goes back.
    bool eventFilter(QObject *object, QEvent *event) override {
        if (object == find_ && event->type() == QEvent::KeyPress) {
            const auto *key = static_cast<QKeyEvent *>(event);
            if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
                key->modifiers() & Qt::ShiftModifier) {
                find(false);
                return true;
            }
        }
        return QWidget::eventFilter(object, event);
    }

  private:
    // The next (or previous) place of the find field's text, from the end (or start) again when
    // there is none further on.
    void find(bool forward) {
        const QString wanted = find_->text().trimmed();
        found_->clear();
        if (wanted.isEmpty())
            return;
        const QTextDocument::FindFlags flags =
            forward ? QTextDocument::FindFlags() : QTextDocument::FindBackward;
        if (text_->find(wanted, flags))
            return;
        QTextCursor again = text_->textCursor();
        again.movePosition(forward ? QTextCursor::Start : QTextCursor::End);
        text_->setTextCursor(again);
        if (!text_->find(wanted, flags))
            found_->setText(tr("not found"));
    }

    QTextBrowser *text_;
    QLineEdit *find_;
    QLabel *found_;
};

QPointer<ManualWindow> window;

} // namespace

int ShowManualWindow(void) {
    return ShowTheWindow(window);
}
