// Fuzz target of the array-file reader as the parameter and correction files use it: any text
// leaves the array untouched or fills it whole, and an oversized file is given up early.
#include "arrayfile.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

// The program's two kinds of array file: 16 parameter words, and 1024 rows of a value and its key.
const int PARAMETER_VALUES = 16;
const int CORRECTION_VALUES = 2 * 1024;
const int CORRECTION_GROUPS = 2;

// Far beyond what 16 numbers can take, while what the reader may read before it gives up (its
// budget of a few KB and a buffer or two of QFile's) stays well below the whole.
const size_t OVERSIZED_BYTES = 256 * 1024;
const long long MOST_READ_OF_OVERSIZED = 64 * 1024;

struct MemoryFile {
    int fd = -1;
    char path[64] = "";
};

MemoryFile input;     // the fuzzer's bytes as they are
MemoryFile oversized; // the same bytes followed by blank lines
// Blank lines, the padding's kind chosen by the input. They are long (up to the longest line the
// reader takes) because each line read costs allocations, which the sanitizer makes slow.
const std::string BLANK_LINES[] = {std::string(63, ' ') + "\n", std::string(64, ' ') + "\n",
                                   std::string(31, '\t') + std::string(31, ' ') + "\r\n",
                                   std::string(7, ' ') + "\n"};
std::vector<std::string> paddings;
bool countsReads = false;

[[noreturn]] void Fail(const char *what, int result) {
    std::fprintf(stderr, "fuzz_arrayfile: %s (result %d)\n", what, result);
    std::abort();
}

MemoryFile OpenMemoryFile(const char *name) {
    MemoryFile file;
    file.fd = memfd_create(name, MFD_CLOEXEC);
    if (file.fd < 0) {
        std::perror("fuzz_arrayfile: memfd_create");
        std::exit(1);
    }
    // The reader opens its own description of the file, as it would open a name the operator chose.
    std::snprintf(file.path, sizeof file.path, "/proc/self/fd/%d", file.fd);
    return file;
}

void WriteAt(const MemoryFile &file, const void *bytes, size_t count, off_t offset) {
    if (count > 0 && pwrite(file.fd, bytes, count, offset) != ssize_t(count)) {
        std::perror("fuzz_arrayfile: pwrite");
        std::exit(1);
    }
}

void SetSize(const MemoryFile &file, size_t size) {
    if (ftruncate(file.fd, off_t(size)) != 0) {
        std::perror("fuzz_arrayfile: ftruncate");
        std::exit(1);
    }
}

// What this process has read from any file so far (rchar of /proc/self/io), or -1.
long long BytesRead() {
    const int fd = open("/proc/self/io", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char text[512];
    const ssize_t n = read(fd, text, sizeof text);
    close(fd);
    if (n <= 0)
        return -1;
    // The first line is "rchar: <count>"; no library search, whose comparisons the fuzzer would
    // take for hints about its input.
    long long count = 0;
    bool digits = false;
    for (ssize_t i = 0; i < n && text[i] != '\n'; ++i) {
        if (text[i] >= '0' && text[i] <= '9') {
            count = 10 * count + (text[i] - '0');
            digits = true;
        }
    }
    return digits ? count : -1;
}

bool IsReaderResult(int result) {
    switch (result) {
    case 0:
    case ARRAY_FILE_TOO_FEW_VALUES:
    case ARRAY_FILE_NOT_A_NUMBER:
    case ARRAY_FILE_OUT_OF_RANGE:
    case ARRAY_FILE_BAD_LAYOUT:
    case ARRAY_FILE_TOO_LARGE:
        return true;
    default:
        return false;
    }
}

int Read(const char *path, void *array, int dataType, int elements, int groups) {
    return FileToArray(path, array, dataType, elements, groups, VAL_GROUPS_TOGETHER,
                       VAL_GROUPS_AS_COLUMNS, VAL_ASCII);
}

// Reads path into an array of exactly elements (so a write past its end is caught) and checks the
// reader's promise: nothing changes on an error, every element is set on success.
template <typename T> int ReadChecked(const char *path, int dataType, int elements, int groups) {
    const T marks[2] = {T(0x5EC0FFEE), T(0x0BADF00D)};
    std::vector<T> values(size_t(elements), marks[0]);
    const int result = Read(path, values.data(), dataType, elements, groups);
    if (!IsReaderResult(result))
        Fail("a result the reader does not give for text", result);
    const bool marked = std::find(values.begin(), values.end(), marks[0]) != values.end();
    if (result != 0) {
        if (std::any_of(values.begin(), values.end(), [&](T v) { return v != marks[0]; }))
            Fail("a failed read changed the array", result);
        return result;
    }
    if (!marked)
        return 0;
    // The file may hold the mark's value itself: a read over another mark tells a number from a
    // gap.
    std::vector<T> again(size_t(elements), marks[1]);
    const int second = Read(path, again.data(), dataType, elements, groups);
    if (second != 0 || again != values)
        Fail("a successful read left elements unset", second);
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    input = OpenMemoryFile("kelvaro-arrayfile");
    oversized = OpenMemoryFile("kelvaro-arrayfile-oversized");
    for (const std::string &blank : BLANK_LINES) {
        std::string padding;
        while (padding.size() < OVERSIZED_BYTES)
            padding += blank;
        paddings.push_back(padding);
    }
    countsReads = BytesRead() >= 0;
    if (!countsReads)
        std::fprintf(stderr, "fuzz_arrayfile: no /proc/self/io here; the bytes an oversized file "
                             "costs are not checked\n");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    WriteAt(input, data, size, 0);
    SetSize(input, size);
    const int parameters =
        ReadChecked<unsigned int>(input.path, VAL_UNSIGNED_INTEGER, PARAMETER_VALUES, 1);
    ReadChecked<int>(input.path, VAL_INTEGER, CORRECTION_VALUES, CORRECTION_GROUPS);

    const std::string &padding = paddings[size > 0 ? data[size - 1] % paddings.size() : 0];
    WriteAt(oversized, data, size, 0);
    WriteAt(oversized, padding.data(), padding.size(), off_t(size));
    SetSize(oversized, size + padding.size());
    const long long before = countsReads ? BytesRead() : 0;
    const int result =
        ReadChecked<unsigned int>(oversized.path, VAL_UNSIGNED_INTEGER, PARAMETER_VALUES, 1);
    const long long read = countsReads ? BytesRead() - before : 0;
    if (result == 0)
        Fail("an oversized parameter file was taken", result);
    // Blank lines add no numbers and break no line: only its size can make this file wrong.
    if ((parameters == 0 || parameters == ARRAY_FILE_TOO_FEW_VALUES) &&
        result != ARRAY_FILE_TOO_LARGE)
        Fail("an oversized parameter file was not found too large", result);
    if (read > MOST_READ_OF_OVERSIZED)
        Fail("the reader read far into an oversized file", int(read));
    return 0;
}
