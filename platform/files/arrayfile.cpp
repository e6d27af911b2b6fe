// Array files as text: parsing checks every number and the column layout before anything is
// stored and gives up once the text is more than the numbers asked for can take; a save never
// leaves half a file.
#include "arrayfile.h"

#include "data_values.h"

#include "internal.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

const qint64 MAX_CHARACTERS_PER_NUMBER = 64;
const qint64 SPARE_LINES = 64;

bool isFloating(int dataType) {
    return dataType == VAL_FLOAT || dataType == VAL_DOUBLE;
}

// The range a number must lie in to be stored in the data type without change.
void limitsOf(int dataType, double *low, double *high) {
    switch (dataType) {
    case VAL_CHAR:
        *low = -128;
        *high = 127;
        break;
    case VAL_UNSIGNED_CHAR:
        *low = 0;
        *high = 255;
        break;
    case VAL_SHORT_INTEGER:
        *low = -32768;
        *high = 32767;
        break;
    case VAL_UNSIGNED_SHORT_INTEGER:
        *low = 0;
        *high = 65535;
        break;
    case VAL_INTEGER:
        *low = -2147483648.0;
        *high = 2147483647.0;
        break;
    case VAL_UNSIGNED_INTEGER:
        *low = 0;
        *high = 4294967295.0;
        break;
    default:
        *low = -std::numeric_limits<double>::max();
        *high = -*low;
        break;
    }
}

// Position in the array of value `index` of group `group`.
int arrayIndex(int group, int index, int groups, int perGroup, int arrayDataOrder) {
    return arrayDataOrder == VAL_DATA_INTERLEAVED ? index * groups + group
                                                  : group * perGroup + index;
}

int parseNumber(const std::string &token, int dataType, double *value) {
    char *end = nullptr;
    errno = 0;
    if (isFloating(dataType)) {
        *value = std::strtod(token.c_str(), &end);
    } else {
        const long long whole = std::strtoll(token.c_str(), &end, 10);
        *value = double(whole);
    }
    if (end == token.c_str() || *end != '\0')
        return ARRAY_FILE_NOT_A_NUMBER;
    double low = 0;
    double high = 0;
    limitsOf(dataType, &low, &high);
    if (errno == ERANGE || !std::isfinite(*value) || *value < low || *value > high)
        return ARRAY_FILE_OUT_OF_RANGE;
    return 0;
}

// What a number of the data type must be, for the message about one that is not.
std::string wantedNumber(int dataType) {
    if (isFloating(dataType))
        return "a number";
    double low = 0;
    double high = 0;
    limitsOf(dataType, &low, &high);
    return "a whole number from " + std::to_string(qint64(low)) + " to " +
           std::to_string(qint64(high));
}

std::string lastError;
std::vector<int> lastRowLines; // the line of each row of the last file read whole

int failWith(int code, const QString &fileName, const std::string &what) {
    lastError = QFileInfo(fileName).fileName().toStdString() + what;
    return code;
}

bool validArguments(const void *array, int dataType, int numberOfElements, int numberOfGroups,
                    int fileType) {
    return array && IsDataType(dataType) && numberOfGroups > 0 && numberOfElements > 0 &&
           numberOfElements % numberOfGroups == 0 && fileType == VAL_ASCII;
}

// The array as text: one row a line, fixed-width, tab or comma columns.
int formatArray(QByteArray *formatted, const void *array, int dataType, int numberOfElements,
                int numberOfGroups, int arrayDataOrder, int fileLayout, int columnSeparation,
                int fieldWidth) {
    if (!validArguments(array, dataType, numberOfElements, numberOfGroups, VAL_ASCII) ||
        fieldWidth < 0 || fieldWidth > 64)
        return ARRAY_FILE_BAD_ARGUMENT;
    const int perGroup = numberOfElements / numberOfGroups;
    const bool columns = fileLayout == VAL_GROUPS_AS_COLUMNS;
    const int rows = columns ? perGroup : numberOfGroups;
    const int perRow = columns ? numberOfGroups : perGroup;
    QByteArray &text = *formatted;
    for (int row = 0; row < rows; ++row) {
        for (int column = 0; column < perRow; ++column) {
            const int group = columns ? column : row;
            const int index = columns ? row : column;
            const double value =
                DataValue(array, dataType,
                          arrayIndex(group, index, numberOfGroups, perGroup, arrayDataOrder));
            const QByteArray number = isFloating(dataType) ? QByteArray::number(value, 'g', 17)
                                                           : QByteArray::number(qint64(value));
            if (column > 0 && columnSeparation == VAL_SEP_BY_TAB)
                text += '\t';
            else if (column > 0 && columnSeparation == VAL_SEP_BY_COMMA)
                text += ',';
            // A number that fills its field keeps one blank from its neighbour, so the file
            // reads back.
            const int width = column > 0 && columnSeparation == VAL_CONST_WIDTH
                                  ? std::max(fieldWidth, int(number.size()) + 1)
                                  : fieldWidth;
            text += number.rightJustified(width, ' ');
        }
        text += '\n';
    }
    return 0;
}

} // namespace

int FileToArray(const char *fileName, void *array, int dataType, int numberOfElements,
                int numberOfGroups, int arrayDataOrder, int fileLayout, int fileType) {
    if (!fileName || !validArguments(array, dataType, numberOfElements, numberOfGroups, fileType))
        return failWith(ARRAY_FILE_BAD_ARGUMENT, QString(), "no file or no array to read into");
    const QString name = QString::fromLocal8Bit(fileName);
    if (QFileInfo(name).isDir())
        return failWith(ARRAY_FILE_CANNOT_OPEN, name, " is a folder, not a file");
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly))
        return failWith(ARRAY_FILE_CANNOT_OPEN, name, ": " + file.errorString().toStdString());

    const int perGroup = numberOfElements / numberOfGroups;
    const bool columns = fileLayout == VAL_GROUPS_AS_COLUMNS;
    const int rows = columns ? perGroup : numberOfGroups;
    const int perRow = columns ? numberOfGroups : perGroup;
    const std::string rowsWanted = std::to_string(rows) + (rows == 1 ? " line" : " lines");
    std::vector<double> values(static_cast<size_t>(numberOfElements));
    std::vector<int> rowLines;
    // Room for every number with generous blanks, and for some empty lines: no file longer than
    // that can hold what was asked for.
    const qint64 longestLine = MAX_CHARACTERS_PER_NUMBER * perRow;
    qint64 budget = longestLine * (qint64(rows) + SPARE_LINES);
    int row = 0;
    int lineNumber = 0;
    // Not atEnd(): a pipe whose writer has not written yet is at its end until it has.
    for (;;) {
        // One byte more than a line may hold tells a line that is too long (readLine keeps room
        // for a terminating zero).
        const QByteArray line = file.readLine(longestLine + 2);
        if (line.isEmpty())
            break;
        ++lineNumber;
        budget -= line.size();
        if (budget < 0 || (line.size() > longestLine && !line.endsWith('\n')))
            return failWith(ARRAY_FILE_TOO_LARGE, name,
                            " is too large for " + rowsWanted + " of numbers");
        const QList<QByteArray> tokens = line.simplified().split(' ');
        if (tokens.size() == 1 && tokens.front().isEmpty())
            continue;
        const std::string where = " line " + std::to_string(lineNumber) + ": ";
        if (row == rows)
            return failWith(ARRAY_FILE_BAD_LAYOUT, name,
                            where + "more than the " + rowsWanted + " of numbers wanted");
        for (int column = 0; column < int(tokens.size()); ++column) {
            const std::string token = tokens.at(column).toStdString();
            double value = 0;
            const int parsed = parseNumber(token, dataType, &value);
            if (parsed != 0)
                return failWith(parsed, name,
                                where + "\"" + token + "\" is not " + wantedNumber(dataType));
            if (column >= perRow)
                continue;
            const int group = columns ? column : row;
            const int index = columns ? row : column;
            values[size_t(arrayIndex(group, index, numberOfGroups, perGroup, arrayDataOrder))] =
                value;
        }
        if (tokens.size() != perRow)
            return failWith(ARRAY_FILE_BAD_LAYOUT, name,
                            where + std::to_string(tokens.size()) +
                                (tokens.size() == 1 ? " number" : " numbers") +
                                " where a line holds " + std::to_string(perRow));
        rowLines.push_back(lineNumber);
        ++row;
    }
    if (file.error() != QFileDevice::NoError)
        return failWith(ARRAY_FILE_CANNOT_OPEN, name, ": " + file.errorString().toStdString());
    if (row == 0)
        return failWith(ARRAY_FILE_TOO_FEW_VALUES, name, " is empty");
    if (row < rows)
        return failWith(ARRAY_FILE_TOO_FEW_VALUES, name,
                        " holds " + std::to_string(row) + (row == 1 ? " line" : " lines") +
                            " of numbers, not " + std::to_string(rows));
    for (int i = 0; i < numberOfElements; ++i)
        StoreDataValue(array, dataType, i, values[size_t(i)]);
    lastRowLines = std::move(rowLines);
    return 0;
}

int ArrayFileLineOfRow(int row) {
    return row >= 0 && row < int(lastRowLines.size()) ? lastRowLines[size_t(row)] : 0;
}

const char *GetArrayFileError(void) {
    return lastError.c_str();
}

int ArrayToString(char *text, int textSize, const void *array, int dataType, int numberOfElements,
                  int numberOfGroups, int arrayDataOrder, int fileLayout, int columnSeparation,
                  int fieldWidth) {
    QByteArray formatted;
    const int result = formatArray(&formatted, array, dataType, numberOfElements, numberOfGroups,
                                   arrayDataOrder, fileLayout, columnSeparation, fieldWidth);
    if (result != 0)
        return result;
    if (!text || formatted.size() >= textSize)
        return ARRAY_FILE_BAD_ARGUMENT;
    std::memcpy(text, formatted.constData(), size_t(formatted.size()) + 1);
    return 0;
}

int ArrayToFile(const char *fileName, const void *array, int dataType, int numberOfElements,
                int numberOfGroups, int arrayDataOrder, int fileLayout, int columnSeparation,
                int fieldWidth, int fileType, int fileAction) {
    QByteArray text;
    const int result = fileName && fileType == VAL_ASCII
                           ? formatArray(&text, array, dataType, numberOfElements, numberOfGroups,
                                         arrayDataOrder, fileLayout, columnSeparation, fieldWidth)
                           : ARRAY_FILE_BAD_ARGUMENT;
    if (result != 0)
        return result;
    const QString name = QString::fromLocal8Bit(fileName);
    if (fileAction == VAL_APPEND) {
        QFile file(name);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append) ||
            file.write(text) != text.size() || !file.flush())
            return failWith(ARRAY_FILE_WRITE_FAILED, name, ": " + file.errorString().toStdString());
        return 0;
    }
    QString why;
    return SaveFileWhole(name, text, &why)
               ? 0
               : failWith(ARRAY_FILE_WRITE_FAILED, name, ": " + why.toStdString());
}
