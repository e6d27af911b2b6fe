// The compare window: a table of words by name, one column a set, differing rows marked by more
// than colour (a sign before the name, bold values, and a word for assistive tools).
#include "comparewindow.h"

#include "panel.h"
#include "secondary_window.h"

#include <QApplication>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <vector>

namespace {

const QColor DIFFERING_BACKGROUND(255, 236, 179);
const char DIFFERS_MARK[] = "\u2260 ";
// A column is this many characters wide: its time note stays on one line, a longer note (a
// failure's cause) wraps.
const int COLUMN_CHARS = 26;

struct Window {
    QPointer<QWidget> widget;
    QTableWidget *table = nullptr;
    std::vector<QLabel *> notes;
    std::vector<bool> filled;
    QStringList rowLabels;
    CompareCallback callback = nullptr;
    void *data = nullptr;
};
Window window;

void markDifferences() {
    QTableWidget *table = window.table;
    for (int row = 0; row < table->rowCount(); ++row) {
        QString first;
        bool differs = false;
        bool any = false;
        for (int column = 0; column < table->columnCount(); ++column) {
            if (!window.filled[size_t(column)])
                continue;
            const QString value = table->item(row, column)->text();
            differs |= any && value != first;
            first = any ? first : value;
            any = true;
        }
        QTableWidgetItem *header = table->verticalHeaderItem(row);
        header->setText((differs ? QString::fromUtf8(DIFFERS_MARK) : QString()) +
                        window.rowLabels[row]);
        header->setData(Qt::AccessibleTextRole,
                        window.rowLabels[row] + (differs ? QStringLiteral(", differs") : ""));
        for (int column = 0; column < table->columnCount(); ++column) {
            QTableWidgetItem *item = table->item(row, column);
            QFont font = item->font();
            font.setBold(differs);
            item->setFont(font);
            item->setBackground(differs ? QBrush(DIFFERING_BACKGROUND) : QBrush());
        }
    }
}

void build(const char *const *rowLabels, int rows, const CompareColumnSpec *columns, int count) {
    auto *widget = new QWidget(nullptr, Qt::Window);
    widget->setAttribute(Qt::WA_DeleteOnClose, false);
    MakeSecondaryWindow(widget, "COMPARE", QStringLiteral("Compare parameter sets"));
    auto *layout = new QVBoxLayout(widget);
    auto *table = new QTableWidget(rows, count, widget);
    table->setObjectName(QStringLiteral("COMPARE_TABLE"));
    table->setAccessibleName(QStringLiteral("Parameter sets"));
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Every row in sight: the window asks for the table's whole height.
    table->setSizeAdjustPolicy(QAbstractScrollArea::AdjustToContents);
    window.rowLabels.clear();
    for (int row = 0; row < rows; ++row) {
        window.rowLabels << QString::fromUtf8(rowLabels[row]);
        table->setVerticalHeaderItem(row, new QTableWidgetItem(window.rowLabels.last()));
        for (int column = 0; column < count; ++column) {
            auto *item = new QTableWidgetItem();
            item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            table->setItem(row, column, item);
        }
    }
    // Notes and buttons stand under their columns, past the row names.
    const int columnWidth = table->fontMetrics().averageCharWidth() * COLUMN_CHARS;
    const int namesWidth = table->verticalHeader()->sizeHint().width() + table->frameWidth();
    auto *buttons = new QGridLayout;
    buttons->setColumnMinimumWidth(0, namesWidth);
    window.notes.clear();
    for (int column = 0; column < count; ++column) {
        table->setHorizontalHeaderItem(
            column, new QTableWidgetItem(QString::fromUtf8(columns[column].title)));
        auto *note = new QLabel(widget);
        note->setWordWrap(true);
        note->setObjectName(QStringLiteral("COMPARE_NOTE_%1").arg(column));
        buttons->addWidget(note, 0, column + 1);
        buttons->setColumnStretch(column + 1, 1);
        buttons->setColumnMinimumWidth(column + 1, columnWidth);
        window.notes.push_back(note);
        const auto addButton = [&](const QString &text, int row, int action, const char *name) {
            auto *button = new QPushButton(text, widget);
            button->setObjectName(QStringLiteral("%1_%2").arg(QLatin1String(name)).arg(column));
            buttons->addWidget(button, row, column + 1);
            QObject::connect(button, &QPushButton::clicked, [action, column] {
                if (window.callback)
                    window.callback(action, column, window.data);
            });
        };
        if (columns[column].fetchLabel)
            addButton(QString::fromUtf8(columns[column].fetchLabel), 1, COMPARE_FETCH,
                      "COMPARE_FETCH");
        if (columns[column].takeable)
            addButton(QStringLiteral("Take into panel"), 2, COMPARE_TAKE, "COMPARE_TAKE");
    }
    table->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    table->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    table->setMinimumWidth(namesWidth + count * columnWidth + table->frameWidth());
    layout->addWidget(table);
    layout->addLayout(buttons);
    window.widget = widget;
    window.table = table;
    window.filled.assign(size_t(count), false);
}

} // namespace

int ShowCompareWindow(const char *const *rowLabels, int rows, const CompareColumnSpec *columns,
                      int count, CompareCallback callback, void *data) {
    if (!QApplication::instance())
        return UIE_NO_APPLICATION;
    if (!window.widget)
        build(rowLabels, rows, columns, count);
    window.callback = callback;
    window.data = data;
    ShowSecondaryWindow(window.widget);
    return 0;
}

int SetCompareColumn(int column, const unsigned short *values, const char *note) {
    if (!window.widget || column < 0 || column >= window.table->columnCount())
        return -1;
    for (int row = 0; row < window.table->rowCount(); ++row)
        window.table->item(row, column)->setText(values ? QString::number(values[row]) : QString());
    QLabel *shown = window.notes[size_t(column)];
    shown->setText(QString::fromUtf8(note ? note : ""));
    shown->setMinimumWidth(std::min(shown->fontMetrics().horizontalAdvance(shown->text()),
                                    shown->fontMetrics().averageCharWidth() * COLUMN_CHARS));
    window.filled[size_t(column)] = values != nullptr;
    markDifferences();
    return 0;
}
