// Array file service: arrays of numbers as text files of columns. Reading takes numbers
// separated by any white space (LF or CRLF); writing uses right-aligned fixed-width fields and
// LF, and replaces a file only once the new content is complete.
#pragma once

#include "data_types.h"

enum ArrayDataOrder { VAL_GROUPS_TOGETHER = 0, VAL_DATA_INTERLEAVED = 1 };
enum FileLayout { VAL_GROUPS_AS_COLUMNS = 0, VAL_GROUPS_AS_ROWS = 1 };
enum ColumnSeparation { VAL_CONST_WIDTH = 0, VAL_SEP_BY_TAB = 1, VAL_SEP_BY_COMMA = 2 };
enum FileType { VAL_BINARY = 0, VAL_ASCII = 1 };
enum FileAction { VAL_TRUNCATE = 0, VAL_APPEND = 1 };

enum ArrayFileError {
    ARRAY_FILE_CANNOT_OPEN = -1,
    ARRAY_FILE_TOO_FEW_VALUES = -2,
    ARRAY_FILE_NOT_A_NUMBER = -3,
    ARRAY_FILE_OUT_OF_RANGE = -4, // a number the data type cannot hold
    ARRAY_FILE_BAD_LAYOUT = -5,   // a line without one number a group, or numbers left over
    ARRAY_FILE_WRITE_FAILED = -6,
    ARRAY_FILE_BAD_ARGUMENT = -7,
    ARRAY_FILE_TOO_LARGE = -8, // far more text than the numbers asked for can take
};

// Returns 0 or an ArrayFileError, with GetArrayFileError saying why; on any error the array is
// left untouched.
int FileToArray(const char *fileName, void *array, int dataType, int numberOfElements,
                int numberOfGroups, int arrayDataOrder, int fileLayout, int fileType);
// The line of the file that row (from 0) of the last FileToArray read whole came from; 0 for none.
int ArrayFileLineOfRow(int row);
// Why the last FileToArray or ArrayToFile failed, for the operator: the file's name, and the line
// and what is wrong in it or the system's words (`CONpara.dat line 3: "abc" is not a whole number
// from 0 to 65535`).
const char *GetArrayFileError(void);
// The text ArrayToFile would write, into text (terminated). Returns 0 or an ArrayFileError
// (ARRAY_FILE_BAD_ARGUMENT also when textSize can't hold it).
int ArrayToString(char *text, int textSize, const void *array, int dataType, int numberOfElements,
                  int numberOfGroups, int arrayDataOrder, int fileLayout, int columnSeparation,
                  int fieldWidth);
// Returns 0 or an ArrayFileError (GetArrayFileError says why); on any error an existing file is
// left as it was.
int ArrayToFile(const char *fileName, const void *array, int dataType, int numberOfElements,
                int numberOfGroups, int arrayDataOrder, int fileLayout, int columnSeparation,
                int fieldWidth, int fileType, int fileAction);
