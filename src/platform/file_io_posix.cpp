#include <sys/stat.h>

#include "platform/file_io.h"
#include "platform/posix_io.h"

namespace chunksieve {

std::ptrdiff_t read_file(FileHandle h, std::uint8_t* buf, std::size_t capacity, int& error) {
    return read_fd(int(h), buf, capacity, error);
}

bool write_file(FileHandle h, const std::uint8_t* buf, std::size_t n, int& error) {
    return write_fd(int(h), buf, n, n, error);
}

std::int64_t regular_file_size(FileHandle h) {
    struct stat st;
    if (fstat(int(h), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return st.st_size;
}

}  // namespace chunksieve
