// Parameter files and the correction table through the array-file service: numbers are read as
// unsigned words, so a number that does not fit one is refused and never cut to its low 16 bits.
#include "set_files.h"

#include "arrayfile.h"

#include <cstring>

namespace kelvaro {

namespace {

const int PARAMETER_FIELD_WIDTH = 4;
const int TABLE_FIELD_WIDTH = 6;

// The mean of two table entries as 32-bit signed arithmetic gives it, wrap-around included.
int Mean(int a, int b) {
    return static_cast<int>(static_cast<unsigned int>(static_cast<long long>(a) + b)) / 2;
}

// The operation's own text, then the file service's cause: which file, which line, what.
std::string FileError(const char *text) {
    return std::string(text) + ": " + GetArrayFileError();
}

// The sixteen words as the array-file service writes them.
struct FileWords {
    unsigned int words[PNUM];
    explicit FileWords(const Words &set) { std::copy(set.begin(), set.end(), words); }
};

} // namespace

std::string FileNameOf(const char *path) {
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

bool ReadParameterFile(const char *path, Words &words, std::string *why) {
    unsigned short read[PNUM];
    if (FileToArray(path, read, VAL_UNSIGNED_SHORT_INTEGER, PNUM, 1, VAL_GROUPS_TOGETHER,
                    VAL_GROUPS_AS_COLUMNS, VAL_ASCII) != 0) {
        *why = FileError(PARAMETER_FILE_ERROR);
        return false;
    }
    std::copy(read, read + PNUM, words.begin());
    return true;
}

std::string ParameterSetText(const Words &words) {
    const FileWords file(words);
    char text[PNUM * 16];
    ArrayToString(text, sizeof text, file.words, VAL_UNSIGNED_INTEGER, PNUM, 1, VAL_GROUPS_TOGETHER,
                  VAL_GROUPS_AS_COLUMNS, VAL_CONST_WIDTH, PARAMETER_FIELD_WIDTH);
    return text;
}

bool WriteParameterFile(const char *path, const Words &words, int action, std::string *why) {
    const FileWords file(words);
    if (ArrayToFile(path, file.words, VAL_UNSIGNED_INTEGER, PNUM, 1, VAL_GROUPS_TOGETHER,
                    VAL_GROUPS_AS_COLUMNS, VAL_CONST_WIDTH, PARAMETER_FIELD_WIDTH, VAL_ASCII,
                    action) == 0)
        return true;
    *why = FileError("Error writing parameter-file!");
    return false;
}

bool ReadCorrectionFile(const char *path, unsigned short columns[CORRECTION_COLUMNS],
                        std::string *why) {
    if (FileToArray(path, columns, VAL_UNSIGNED_SHORT_INTEGER, CORRECTION_COLUMNS, 2,
                    VAL_GROUPS_TOGETHER, VAL_GROUPS_AS_COLUMNS, VAL_ASCII) != 0) {
        *why = FileError(CORRECTION_FILE_ERROR);
        return false;
    }
    for (int row = 0; row < CORRECTION_KEYS; ++row) {
        const int key = columns[CORRECTION_KEYS + row];
        if (key < CORRECTION_KEYS)
            continue;
        *why = std::string(CORRECTION_FILE_ERROR) + ": " + FileNameOf(path) + " line " +
               std::to_string(ArrayFileLineOfRow(row)) + ": key " + std::to_string(key) +
               " is outside 0..1023";
        return false;
    }
    return true;
}

bool WriteCorrectionFile(const char *path, const unsigned short columns[CORRECTION_COLUMNS],
                         std::string *why) {
    if (ArrayToFile(path, columns, VAL_UNSIGNED_SHORT_INTEGER, CORRECTION_COLUMNS, 2,
                    VAL_GROUPS_TOGETHER, VAL_GROUPS_AS_COLUMNS, VAL_CONST_WIDTH, TABLE_FIELD_WIDTH,
                    VAL_ASCII, VAL_TRUNCATE) == 0)
        return true;
    *why = FileError("Error writing the correction file!");
    return false;
}

bool BuildCorrectionTable(const unsigned short columns[CORRECTION_COLUMNS],
                          int table[CORRECTION_KEYS], const char *tablePath, std::string *why) {
    static int value[CORRECTION_KEYS], key[CORRECTION_KEYS], output[3 * CORRECTION_KEYS];
    for (int i = 0; i < CORRECTION_KEYS; ++i) {
        value[i] = columns[i];
        // The key column is read from the bottom up.
        key[i] = columns[CORRECTION_COLUMNS - 1 - i];
        table[i] = 0;
    }
    for (int i = 0; i < CORRECTION_KEYS; ++i)
        table[key[i]] = value[i];
    for (int j = 1; j < CORRECTION_KEYS; ++j)
        if (table[j] == 0)
            table[j] = table[j - 1];
    for (int j = 1; j < CORRECTION_KEYS - 1; ++j)
        if (table[j] < table[j - 1])
            table[j] =
                table[j + 1] > table[j - 1] ? Mean(table[j + 1], table[j - 1]) : table[j - 1];
    if (table[CORRECTION_KEYS - 1] < table[CORRECTION_KEYS - 2])
        table[CORRECTION_KEYS - 1] = table[CORRECTION_KEYS - 2];

    for (int i = 0; i < CORRECTION_KEYS; ++i) {
        output[i] = i;
        output[CORRECTION_KEYS + i] = key[i];
        output[2 * CORRECTION_KEYS + i] = table[i];
    }
    if (ArrayToFile(tablePath, output, VAL_INTEGER, 3 * CORRECTION_KEYS, 3, VAL_GROUPS_TOGETHER,
                    VAL_GROUPS_AS_COLUMNS, VAL_CONST_WIDTH, TABLE_FIELD_WIDTH, VAL_ASCII,
                    VAL_TRUNCATE) == 0)
        return true;
    *why = FileError(("Error writing " + FileNameOf(tablePath) + "!").c_str());
    return false;
}

} // namespace kelvaro
