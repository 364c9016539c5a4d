#include "platform/file_io.h"
#include "platform/handles_win32.h"

namespace chunksieve {

std::ptrdiff_t read_file(FileHandle h, std::uint8_t* buf, std::size_t capacity, int& error) {
    DWORD got = 0;
    const DWORD want = capacity < IO_BLOCK ? DWORD(capacity) : IO_BLOCK;
    if (ReadFile(handle(h), buf, want, &got, nullptr)) return std::ptrdiff_t(got);
    // The writing end of a pipe was closed: that is how a pipe ends, not a failure.
    const DWORD e = GetLastError();
    if (e == ERROR_BROKEN_PIPE) return 0;
    error = int(e);
    return -1;
}

bool write_file(FileHandle h, const std::uint8_t* buf, std::size_t n, int& error) {
    return write_all_to(handle(h), buf, n, error);
}

std::int64_t regular_file_size(FileHandle h) {
    LARGE_INTEGER size;
    if (GetFileType(handle(h)) != FILE_TYPE_DISK || !GetFileSizeEx(handle(h), &size)) return -1;
    return size.QuadPart;
}

}  // namespace chunksieve
