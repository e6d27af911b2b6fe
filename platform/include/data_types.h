// Codes for the type of the values in an array handed to the chart, graph and file services.
#pragma once

enum DataType {
    VAL_CHAR = 0,
    VAL_INTEGER = 1, // 32-bit
    VAL_SHORT_INTEGER = 2,
    VAL_FLOAT = 3,
    VAL_DOUBLE = 4,
    VAL_UNSIGNED_SHORT_INTEGER = 6,
    VAL_UNSIGNED_INTEGER = 7,
    VAL_UNSIGNED_CHAR = 8,
};
