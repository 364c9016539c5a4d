#include <algorithm>

#include "platform/handles_win32.h"
#include "platform/side_file.h"

namespace chunksieve {

namespace {

FileId id_of(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info)) return {};
    FileId id;
    id.volume = info.dwVolumeSerialNumber;
    id.index = std::uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    id.known = true;
    return id;
}

// A read or write at `offset` of a file, which leaves alone the position that reads and writes
// in order go on from... except that a synchronous handle moves it anyway: files that are both
// written in order and read back keep their own position (SideFile::position_).
OVERLAPPED at(std::uint64_t offset) {
    OVERLAPPED o{};
    o.Offset = DWORD(offset);
    o.OffsetHigh = DWORD(offset >> 32);
    return o;
}

}  // namespace

FileId file_id(const char* path) {
    if (is_standard(path)) return {};
    // Without FILE_FLAG_BACKUP_SEMANTICS a directory cannot be opened at all.
    const HANDLE h = CreateFileA(path, 0, SHARE_ALL, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return {};
    const FileId id = id_of(h);
    CloseHandle(h);
    return id;
}

SideFile::~SideFile() {
    if (h_ != -1 && !standard_) CloseHandle(handle(h_));
}

bool SideFile::check(bool for_write) {
    const HANDLE h = handle(h_);
    if (h == INVALID_HANDLE_VALUE || h == nullptr) {
        error_ = h == nullptr ? ERROR_INVALID_HANDLE : int(GetLastError());
        h_ = -1;
        return false;
    }
    (void)for_write;
    regular_ = GetFileType(h) == FILE_TYPE_DISK;
    if (regular_) {
        BY_HANDLE_FILE_INFORMATION info;
        if (GetFileInformationByHandle(h, &info) &&
            (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            error_ = ERROR_DIRECTORY;
            return false;
        }
    }
    return true;
}

bool SideFile::open_read(const char* path) {
    if (is_standard(path)) {
        h_ = value(GetStdHandle(STD_INPUT_HANDLE));
        standard_ = true;
        return check(false);
    }
    h_ = value(CreateFileA(path, GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING, 0, nullptr));
    return check(false);
}

bool SideFile::open_write(const char* path, bool readable) {
    if (is_standard(path)) {
        h_ = value(GetStdHandle(STD_OUTPUT_HANDLE));
        standard_ = true;
        return check(true);
    }
    const DWORD access = GENERIC_WRITE | (readable ? GENERIC_READ : 0);
    HANDLE h = CreateFileA(path, access, SHARE_ALL, nullptr, CREATE_NEW, 0, nullptr);
    created_ = h != INVALID_HANDLE_VALUE;
    if (!created_ && GetLastError() == ERROR_FILE_EXISTS)
        h = CreateFileA(path, access, SHARE_ALL, nullptr, OPEN_EXISTING, 0, nullptr);
    h_ = value(h);
    return check(true);
}

bool SideFile::cut() {
    if (!regular_ || standard_) return true;
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(handle(h_), zero, nullptr, FILE_BEGIN) || !SetEndOfFile(handle(h_))) {
        error_ = int(GetLastError());
        return false;
    }
    return true;
}

FileId SideFile::id() const {
    return h_ == -1 ? FileId{} : id_of(handle(h_));
}

std::ptrdiff_t SideFile::read(std::uint8_t* buf, std::size_t capacity) {
    DWORD got = 0;
    const DWORD want = DWORD(std::min<std::size_t>(capacity, IO_BLOCK));
    BOOL ok;
    if (regular_) {
        OVERLAPPED o = at(position_);
        ok = ReadFile(handle(h_), buf, want, &got, &o);
    } else {
        ok = ReadFile(handle(h_), buf, want, &got, nullptr);
    }
    if (!ok) {
        const DWORD e = GetLastError();
        // The end of a pipe whose writer has gone, and the end of a file, are ends.
        if (e == ERROR_BROKEN_PIPE || e == ERROR_HANDLE_EOF) return 0;
        error_ = int(e);
        return -1;
    }
    position_ += got;
    return std::ptrdiff_t(got);
}

std::ptrdiff_t SideFile::read_at(std::uint8_t* buf, std::size_t n, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < n) {
        DWORD got = 0;
        OVERLAPPED o = at(offset + done);
        const DWORD want = DWORD(std::min<std::size_t>(n - done, IO_BLOCK));
        if (!ReadFile(handle(h_), buf + done, want, &got, &o)) {
            if (GetLastError() == ERROR_HANDLE_EOF) break;
            error_ = int(GetLastError());
            return -1;
        }
        if (got == 0) break;
        done += got;
    }
    return std::ptrdiff_t(done);
}

bool SideFile::write_all(const std::uint8_t* data, std::size_t n) {
    if (!regular_) return write_all_to(handle(h_), data, n, error_);
    while (n > 0) {
        DWORD put = 0;
        OVERLAPPED o = at(position_);
        const DWORD want = DWORD(std::min<std::size_t>(n, IO_BLOCK));
        if (!WriteFile(handle(h_), data, want, &put, &o)) {
            error_ = int(GetLastError());
            return false;
        }
        if (put == 0) {
            error_ = ERROR_WRITE_FAULT;
            return false;
        }
        position_ += put;
        data += put;
        n -= put;
    }
    return true;
}

bool SideFile::close() {
    if (h_ == -1) return true;
    bool ok = true;
    if (!standard_) {
        ok = CloseHandle(handle(h_)) != 0;
        if (!ok) error_ = int(GetLastError());
    }
    h_ = -1;
    return ok;
}

void SideFile::remove_created(const char* path) {
    close();
    if (created_) DeleteFileA(path);
    created_ = false;
}

}  // namespace chunksieve
