// Reading and writing the elements of arrays whose type is given by a data_types.h code; what the
// chart, graph and array-file services share.
#pragma once

#include "data_types.h"

#include <cstddef>
#include <cstdint>

// Bytes of one element; 0 for a code that is not a data type.
size_t DataTypeSize(int dataType);
inline bool IsDataType(int dataType) {
    return DataTypeSize(dataType) > 0;
}
// Element index of values, converted to double.
double DataValue(const void *values, int dataType, int64_t index);
// Stores value as element index; the caller has checked that the type can hold it.
void StoreDataValue(void *values, int dataType, int64_t index, double value);
