// Array files as text: parsing checks every number and the column layout before anything is
// stored and gives up once the text is more than the numbers asked for can take; a save never
// leaves half a file.
#include "arrayfile.h"

#include "data_values.h"

#include "internal.h"

#include <QFile>

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
        return ARRAY_FILE_BAD_ARGUMENT;
    QFile file(QString::fromLocal8Bit(fileName));
    if (!file.open(QIODevice::ReadOnly))
        return ARRAY_FILE_CANNOT_OPEN;

    const int perGroup = numberOfElements / numberOfGroups;
    const bool columns = fileLayout == VAL_GROUPS_AS_COLUMNS;
    const int rows = columns ? perGroup : numberOfGroups;
    const int perRow = columns ? numberOfGroups : perGroup;
    std::vector<double> values(static_cast<size_t>(numberOfElements));
    // Room for every number with generous blanks, and for some empty lines: no file longer than
    // that can hold what was asked for.
    const qint64 longestLine = MAX_CHARACTERS_PER_NUMBER * perRow;
    qint64 budget = longestLine * (qint64(rows) + SPARE_LINES);
    int row = 0;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine(longestLine + 1);
        budget -= line.size();
        if (budget < 0 || (line.size() > longestLine && !line.endsWith('\n')))
            return ARRAY_FILE_TOO_LARGE;
        const QList<QByteArray> tokens = line.simplified().split(' ');
        if (tokens.size() == 1 && tokens.front().isEmpty())
            continue;
        if (row == rows || tokens.size() != perRow) {
            for (const QByteArray &token : tokens) {
                double ignored = 0;
                if (parseNumber(token.toStdString(), VAL_DOUBLE, &ignored) != 0)
                    return ARRAY_FILE_NOT_A_NUMBER;
            }
            return ARRAY_FILE_BAD_LAYOUT;
        }
        for (int column = 0; column < perRow; ++column) {
            double value = 0;
            const int parsed = parseNumber(tokens.at(column).toStdString(), dataType, &value);
            if (parsed != 0)
                return parsed;
            const int group = columns ? column : row;
            const int index = columns ? row : column;
            values[size_t(arrayIndex(group, index, numberOfGroups, perGroup, arrayDataOrder))] =
                value;
        }
        ++row;
    }
    if (file.error() != QFileDevice::NoError)
        return ARRAY_FILE_CANNOT_OPEN;
    if (row < rows)
        return ARRAY_FILE_TOO_FEW_VALUES;
    for (int i = 0; i < numberOfElements; ++i)
        StoreDataValue(array, dataType, i, values[size_t(i)]);
    return 0;
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
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append) || file.write(text) != text.size())
            return ARRAY_FILE_WRITE_FAILED;
        return file.flush() ? 0 : ARRAY_FILE_WRITE_FAILED;
    }
    QString ignored;
    return SaveFileWhole(name, text, &ignored) ? 0 : ARRAY_FILE_WRITE_FAILED;
}
