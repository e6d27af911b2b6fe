// INI files read a line at a time, with the line of every entry kept for the messages about it.
#include "inifile.h"

#include <QFile>
#include <QFileInfo>

#include <string>

namespace {

const qint64 MAX_LINE_BYTES = 4096;
std::string lastError;

int fail(const QString &fileName, const std::string &why) {
    lastError = fileName.toStdString() + why;
    return -1;
}

} // namespace

int ReadIniFile(const char *fileName, IniEntryCallback entry, void *data) {
    const QString name = QString::fromLocal8Bit(fileName ? fileName : "");
    if (QFileInfo(name).isDir())
        return fail(name, " is a folder, not a file");
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return fail(name, ": " + file.errorString().toStdString());
    QByteArray section;
    int number = 0;
    for (;;) {
        const QByteArray raw = file.readLine(MAX_LINE_BYTES);
        if (raw.isEmpty())
            break;
        ++number;
        const QByteArray line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(';') || line.startsWith('#'))
            continue;
        const std::string where = " line " + std::to_string(number) + ": ";
        if (line.startsWith('[')) {
            if (!line.endsWith(']') || line.size() < 3)
                return fail(name, where + "a section is written [name]");
            section = line.mid(1, line.size() - 2).trimmed();
            continue;
        }
        const int equals = line.indexOf('=');
        if (equals <= 0)
            return fail(name, where + "\"" + line.toStdString() + "\" is not key = value");
        const QByteArray key = line.left(equals).trimmed();
        QByteArray value = line.mid(equals + 1).trimmed();
        // A ; or # after a blank starts a comment, as in the examples people copy.
        for (qsizetype at = 1; at < value.size(); ++at)
            if ((value[at] == ';' || value[at] == '#') &&
                (value[at - 1] == ' ' || value[at - 1] == '\t')) {
                value = value.left(at).trimmed();
                break;
            }
        if (const int stopped =
                entry(section.constData(), key.constData(), value.constData(), number, data))
            return stopped;
    }
    if (file.error() != QFileDevice::NoError)
        return fail(name, ": " + file.errorString().toStdString());
    return 0;
}

const char *GetIniFileError(void) {
    return lastError.c_str();
}
