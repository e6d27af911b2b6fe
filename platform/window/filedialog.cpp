// File dialogs on QFileDialog; tests queue answers instead, since no one is there to click.
#include "filedialog.h"

#include "internal.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

#include <cstring>
#include <deque>
#include <string>
#include <utility>

namespace {

std::deque<std::pair<int, std::string>> queuedAnswers;
std::deque<int> queuedConfirmations;
FileSelectRequest lastRequest;

template <size_t N> void copyText(char (&dest)[N], const char *text) {
    std::strncpy(dest, text ? text : "", N - 1);
    dest[N - 1] = '\0';
}

int putPath(const QByteArray &path, char pathName[MAX_PATHNAME_LEN]) {
    if (path.size() >= MAX_PATHNAME_LEN) {
        pathName[0] = '\0';
        return FILE_SELECT_ERROR;
    }
    std::memcpy(pathName, path.constData(), size_t(path.size()) + 1);
    return 0;
}

QString buttonText(int buttonLabel) {
    switch (buttonLabel) {
    case VAL_SAVE_BUTTON:
        return QObject::tr("Save");
    case VAL_SELECT_BUTTON:
        return QObject::tr("Select");
    case VAL_LOAD_BUTTON:
        return QObject::tr("Load");
    default:
        return QObject::tr("OK");
    }
}

} // namespace

void QueueConfirmAnswer(int answer) {
    queuedConfirmations.push_back(answer);
}

int MessagePopup(const char *title, const char *message) {
    if (!queuedConfirmations.empty()) {
        queuedConfirmations.pop_front();
        return 0;
    }
    if (!QApplication::instance() || QuitRequested())
        return 0;
    QMessageBox::information(QApplication::activeWindow(),
                             QString::fromLocal8Bit(title ? title : ""),
                             QString::fromLocal8Bit(message ? message : ""));
    return 0;
}

int ConfirmPopup(const char *title, const char *message) {
    if (!queuedConfirmations.empty()) {
        const int answer = queuedConfirmations.front();
        queuedConfirmations.pop_front();
        return answer;
    }
    if (!QApplication::instance() || QuitRequested())
        return 0;
    return QMessageBox::question(
               QApplication::activeWindow(), QString::fromLocal8Bit(title ? title : ""),
               QString::fromLocal8Bit(message ? message : ""), QMessageBox::Yes | QMessageBox::No,
               QMessageBox::No) == QMessageBox::Yes;
}

int MayWriteChosenFile(int chosen, const char *title, const char *path) {
    if (chosen != VAL_EXISTING_FILE_SELECTED)
        return chosen == VAL_NEW_FILE_SELECTED;
    const std::string question = std::string(path ? path : "") + " already exists. Replace it?";
    return ConfirmPopup(title, question.c_str());
}

void QueueFileSelectAnswer(int result, const char *path) {
    queuedAnswers.emplace_back(result, path ? path : "");
}

const FileSelectRequest *LastFileSelectRequest(void) {
    return &lastRequest;
}

int FileSelectPopup(const char *defaultDirectory, const char *defaultFileSpec,
                    const char *fileTypeList, const char *title, int buttonLabel,
                    int restrictDirectory, int restrictExtension, int allowCancel,
                    int allowMakeDirectory, char pathName[MAX_PATHNAME_LEN]) {
    copyText(lastRequest.defaultDirectory, defaultDirectory);
    copyText(lastRequest.defaultFileSpec, defaultFileSpec);
    copyText(lastRequest.fileTypeList, fileTypeList);
    copyText(lastRequest.title, title);
    lastRequest.buttonLabel = buttonLabel;

    if (!queuedAnswers.empty()) {
        const auto [result, path] = queuedAnswers.front();
        queuedAnswers.pop_front();
        if (putPath(QByteArray::fromStdString(path), pathName) != 0)
            return FILE_SELECT_ERROR;
        return result;
    }
    if (!QApplication::instance())
        return FILE_SELECT_ERROR;

    const QString directory = QString::fromLocal8Bit(defaultDirectory ? defaultDirectory : "");
    const QString types = QString::fromLocal8Bit(fileTypeList ? fileTypeList : "");
    QFileDialog dialog(QApplication::activeWindow(), QString::fromLocal8Bit(title ? title : ""),
                       directory);
    const bool opening = buttonLabel == VAL_LOAD_BUTTON || buttonLabel == VAL_SELECT_BUTTON;
    dialog.setAcceptMode(opening ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
    // Whether a chosen file may be replaced is the program's question: not every file chosen in a
    // save dialog is written.
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setFileMode(opening ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dialog.setLabelText(QFileDialog::Accept, buttonText(buttonLabel));
    dialog.setOption(QFileDialog::ReadOnly, !allowMakeDirectory);
    if (!types.isEmpty()) {
        dialog.setNameFilter(types);
        if (restrictExtension && types.startsWith(QLatin1String("*.")))
            dialog.setDefaultSuffix(types.mid(2).section(';', 0, 0));
    }
    if (!restrictExtension)
        dialog.setNameFilters({types, QObject::tr("All files (*)")});
    dialog.selectFile(QString::fromLocal8Bit(defaultFileSpec ? defaultFileSpec : ""));
    if (restrictDirectory)
        QObject::connect(&dialog, &QFileDialog::directoryEntered, &dialog,
                         [&dialog, directory](const QString &entered) {
                             if (QDir(entered) != QDir(directory))
                                 dialog.setDirectory(directory);
                         });
    while (dialog.exec() != QDialog::Accepted)
        if (allowCancel || QuitRequested())
            return VAL_NO_FILE_SELECTED;
    const QString chosen = QDir::toNativeSeparators(dialog.selectedFiles().value(0));
    const bool existed = QFileInfo::exists(chosen);
    if (putPath(chosen.toLocal8Bit(), pathName) != 0)
        return FILE_SELECT_ERROR;
    return existed ? VAL_EXISTING_FILE_SELECTED : VAL_NEW_FILE_SELECTED;
}
