// Elements of typed arrays, read and written through memcpy so no alignment is assumed.
#include "data_values.h"

#include <cstring>
#include <type_traits>

namespace {

// Calls visit with a null pointer of the element type that dataType names. Returns false, without
// calling it, for a code that is not a data type.
template <typename Visit> bool visitElementType(int dataType, Visit visit) {
    switch (dataType) {
    case VAL_CHAR:
        visit(static_cast<int8_t *>(nullptr));
        return true;
    case VAL_UNSIGNED_CHAR:
        visit(static_cast<uint8_t *>(nullptr));
        return true;
    case VAL_SHORT_INTEGER:
        visit(static_cast<int16_t *>(nullptr));
        return true;
    case VAL_UNSIGNED_SHORT_INTEGER:
        visit(static_cast<uint16_t *>(nullptr));
        return true;
    case VAL_INTEGER:
        visit(static_cast<int32_t *>(nullptr));
        return true;
    case VAL_UNSIGNED_INTEGER:
        visit(static_cast<uint32_t *>(nullptr));
        return true;
    case VAL_FLOAT:
        visit(static_cast<float *>(nullptr));
        return true;
    case VAL_DOUBLE:
        visit(static_cast<double *>(nullptr));
        return true;
    default:
        return false;
    }
}

template <typename Pointer> using Element = std::remove_pointer_t<Pointer>;

} // namespace

size_t DataTypeSize(int dataType) {
    size_t size = 0;
    visitElementType(dataType, [&size](auto typed) { size = sizeof(Element<decltype(typed)>); });
    return size;
}

double DataValue(const void *values, int dataType, int64_t index) {
    double value = 0;
    visitElementType(dataType, [&](auto typed) {
        Element<decltype(typed)> element;
        std::memcpy(&element, static_cast<const char *>(values) + index * int64_t(sizeof element),
                    sizeof element);
        value = double(element);
    });
    return value;
}

void StoreDataValue(void *values, int dataType, int64_t index, double value) {
    visitElementType(dataType, [&](auto typed) {
        const auto element = static_cast<Element<decltype(typed)>>(value);
        std::memcpy(static_cast<char *>(values) + index * int64_t(sizeof element), &element,
                    sizeof element);
    });
}
