// Elements of typed arrays, read and written through memcpy so no alignment is assumed.
#include "data_values.h"

#include <cstring>

namespace {

template <typename T> double load(const void *values, int64_t index) {
    T typed;
    std::memcpy(&typed, static_cast<const char *>(values) + index * int64_t(sizeof(T)), sizeof(T));
    return double(typed);
}

template <typename T> void store(void *values, int64_t index, double value) {
    const T typed = static_cast<T>(value);
    std::memcpy(static_cast<char *>(values) + index * int64_t(sizeof(T)), &typed, sizeof(T));
}

} // namespace

size_t DataTypeSize(int dataType) {
    switch (dataType) {
    case VAL_CHAR:
    case VAL_UNSIGNED_CHAR:
        return 1;
    case VAL_SHORT_INTEGER:
    case VAL_UNSIGNED_SHORT_INTEGER:
        return 2;
    case VAL_INTEGER:
    case VAL_UNSIGNED_INTEGER:
    case VAL_FLOAT:
        return 4;
    case VAL_DOUBLE:
        return 8;
    default:
        return 0;
    }
}

double DataValue(const void *values, int dataType, int64_t index) {
    switch (dataType) {
    case VAL_CHAR:
        return load<int8_t>(values, index);
    case VAL_UNSIGNED_CHAR:
        return load<uint8_t>(values, index);
    case VAL_SHORT_INTEGER:
        return load<int16_t>(values, index);
    case VAL_UNSIGNED_SHORT_INTEGER:
        return load<uint16_t>(values, index);
    case VAL_INTEGER:
        return load<int32_t>(values, index);
    case VAL_UNSIGNED_INTEGER:
        return load<uint32_t>(values, index);
    case VAL_FLOAT:
        return load<float>(values, index);
    case VAL_DOUBLE:
        return load<double>(values, index);
    default:
        return 0;
    }
}

void StoreDataValue(void *values, int dataType, int64_t index, double value) {
    switch (dataType) {
    case VAL_CHAR:
        store<int8_t>(values, index, value);
        break;
    case VAL_UNSIGNED_CHAR:
        store<uint8_t>(values, index, value);
        break;
    case VAL_SHORT_INTEGER:
        store<int16_t>(values, index, value);
        break;
    case VAL_UNSIGNED_SHORT_INTEGER:
        store<uint16_t>(values, index, value);
        break;
    case VAL_INTEGER:
        store<int32_t>(values, index, value);
        break;
    case VAL_UNSIGNED_INTEGER:
        store<uint32_t>(values, index, value);
        break;
    case VAL_FLOAT:
        store<float>(values, index, value);
        break;
    case VAL_DOUBLE:
        store<double>(values, index, value);
        break;
    default:
        break;
    }
}
