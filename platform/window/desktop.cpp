// The manual travels inside the program (the README, as a resource) and becomes an HTML page in
// the cache folder when asked for, so it is there whatever the system left out of /usr/share/doc.
#include "desktop.h"

#include "internal.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTextDocument>
#include <QUrl>

#include <string>

namespace {

const char MANUAL_SOURCE[] = ":/manual/README.md";
const char MANUAL_PAGE[] = "kelvaro-manual.html";

std::string lastError;

int fail(const QString &why) {
    lastError = why.toStdString();
    return -1;
}

} // namespace

int OpenManual(void) {
    QFile source(QString::fromLatin1(MANUAL_SOURCE));
    if (!source.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("the manual is missing from the program: ") +
                    source.errorString());
    QTextDocument manual;
    manual.setMarkdown(QString::fromUtf8(source.readAll()));
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    QDir().mkpath(folder);
    const QString page = QDir(folder).filePath(QString::fromLatin1(MANUAL_PAGE));
    QString why;
    if (!SaveFileWhole(page, manual.toHtml().toUtf8(), &why))
        return fail(page + ": " + why);
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(page)))
        return fail(QStringLiteral("nothing on this desktop shows HTML pages: open ") + page);
    return 0;
}

const char *GetDesktopError(void) {
    return lastError.c_str();
}
