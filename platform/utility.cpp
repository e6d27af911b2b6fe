// Utility service on POSIX: monotonic time, pauses that survive signals, the program's directory.
#include "utility.h"

#include "frame_clock.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

timespec now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

QString programDirectory() {
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath().section('/', 0, -2);
}

// Installed, the program's directory is not the operator's to write in.
QString workingFolder() {
    const QString chosen = qEnvironmentVariable("KELVARO_DIR");
    if (!chosen.isEmpty())
        return chosen;
    const QString program = programDirectory();
    if (QFileInfo(program).canonicalFilePath() !=
        QFileInfo(QStringLiteral(KELVARO_INSTALLED_DIR)).canonicalFilePath())
        return program;
    const QString folder =
        QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) + "/kelvaro";
    QDir().mkpath(folder);
    return folder;
}

// Copies name into text of size bytes. Returns 0, or -1 with text empty when it does not fit.
int copyText(const std::string &name, char *text, int size) {
    if (!text || size < 1 || int(name.size()) >= size) {
        if (text && size > 0)
            text[0] = '\0';
        return -1;
    }
    std::memcpy(text, name.c_str(), name.size() + 1);
    return 0;
}

int copyPath(const QString &path, char out[MAX_PATHNAME_LEN]) {
    return copyText(QDir::toNativeSeparators(path).toLocal8Bit().toStdString(), out,
                    MAX_PATHNAME_LEN);
}

} // namespace

double Timer(void) {
    static const timespec start = now();
    const timespec t = now();
    return double(t.tv_sec - start.tv_sec) + double(t.tv_nsec - start.tv_nsec) * 1e-9;
}

void Delay(double seconds) {
    // Repaints what changed, so a long exchange of pauses shows its progress; no callback runs.
    if (QCoreApplication::instance() &&
        QThread::currentThread() == QCoreApplication::instance()->thread()) {
        ShowDueFrames();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
    }
    if (seconds <= 0)
        return;
    timespec left{};
    left.tv_sec = time_t(seconds);
    left.tv_nsec = long((seconds - double(left.tv_sec)) * 1e9);
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

int GetProjectDir(char directory[MAX_PATHNAME_LEN]) {
    return copyPath(workingFolder(), directory);
}

int GetFullPathFromProject(const char *fileName, char fullPath[MAX_PATHNAME_LEN]) {
    return copyPath(QDir(workingFolder()).filePath(QString::fromLocal8Bit(fileName)), fullPath);
}

int GetProgramDir(char directory[MAX_PATHNAME_LEN]) {
    return copyPath(programDirectory(), directory);
}

int FileExists(const char *path) {
    struct stat found {};
    return path && ::stat(path, &found) == 0 ? 1 : 0;
}

int SameFile(const char *a, const char *b) {
    const QFileInfo first(QString::fromLocal8Bit(a));
    const QFileInfo second(QString::fromLocal8Bit(b));
    struct stat one {};
    struct stat other {};
    if (::stat(a, &one) == 0 && ::stat(b, &other) == 0 && one.st_dev == other.st_dev &&
        one.st_ino == other.st_ino)
        return 1;
    const QString firstDirectory = first.absoluteDir().canonicalPath();
    return !firstDirectory.isEmpty() &&
           firstDirectory.compare(second.absoluteDir().canonicalPath(), Qt::CaseInsensitive) == 0 &&
           first.fileName().compare(second.fileName(), Qt::CaseInsensitive) == 0;
}

int FmtWordsAsText(char *text, int textSize, const int *values, int count) {
    if (!text || textSize < 1)
        return 0;
    int length = 0;
    for (int i = 0; i < 2 * count && length < textSize - 1; ++i) {
        const int word = values[i / 2];
        const unsigned char byte = (i % 2 == 0) ? (word >> 8) & 0xFF : word & 0xFF;
        if (byte == 0)
            break;
        text[length++] = (byte >= 0x20 && byte < 0x7F) ? char(byte) : '?';
    }
    text[length] = '\0';
    return length;
}

int GetHostName(char *text, int size) {
    char name[256] = "";
    ::gethostname(name, sizeof name - 1);
    return copyText(name, text, size);
}

int GetUserName(char *text, int size) {
    passwd entry{};
    passwd *found = nullptr;
    char buffer[1024];
    if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found)
        return copyText(found->pw_name, text, size);
    const char *user = std::getenv("USER");
    return copyText(user && *user ? user : std::to_string(::getuid()), text, size);
}
