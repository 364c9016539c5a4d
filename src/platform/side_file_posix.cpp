#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "platform/posix_io.h"
#include "platform/side_file.h"

namespace chunksieve {

namespace {

int fd(std::intptr_t h) {
    return int(h);
}

FileId id_of(const struct stat& st) {
    FileId id;
    id.volume = std::uint64_t(st.st_dev);
    id.index = std::uint64_t(st.st_ino);
    id.known = true;
    return id;
}

// Each call moves at most this much: larger calls are no faster here.
constexpr std::size_t IO_MOST = std::size_t(1) << 20;

}  // namespace

FileId file_id(const char* path) {
    struct stat st;
    if (is_standard(path)) return {};
    if (stat(path, &st) != 0) return {};
    return id_of(st);
}

SideFile::~SideFile() {
    if (h_ >= 0 && !standard_) ::close(fd(h_));
}

bool SideFile::check(bool for_write) {
    struct stat st;
    if (fstat(fd(h_), &st) != 0) {
        error_ = errno;
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        error_ = EISDIR;
        return false;
    }
    regular_ = S_ISREG(st.st_mode);
    (void)for_write;
    return true;
}

bool SideFile::open_read(const char* path) {
    if (is_standard(path)) {
        h_ = STDIN_FILENO;
        standard_ = true;
        return check(false);
    }
    const int h = open_retrying(path, O_RDONLY);
    h_ = h;
    if (h < 0) {
        error_ = errno;
        return false;
    }
    return check(false);
}

bool SideFile::open_write(const char* path, bool readable) {
    if (is_standard(path)) {
        h_ = STDOUT_FILENO;
        standard_ = true;
        return check(true);
    }
    const int access = readable ? O_RDWR : O_WRONLY;
    int h = open_retrying(path, access | O_CREAT | O_EXCL, 0666);
    created_ = h >= 0;
    if (h < 0 && errno == EEXIST) h = open_retrying(path, access);
    h_ = h;
    if (h < 0) {
        error_ = errno;
        return false;
    }
    return check(true);
}

bool SideFile::cut() {
    struct stat st;
    if (!regular_ || standard_) return true;
    if (fstat(fd(h_), &st) != 0 || (st.st_size > 0 && ftruncate(fd(h_), 0) != 0)) {
        error_ = errno;
        return false;
    }
    return true;
}

FileId SideFile::id() const {
    struct stat st;
    if (h_ < 0 || fstat(fd(h_), &st) != 0) return {};
    return id_of(st);
}

std::ptrdiff_t SideFile::read(std::uint8_t* buf, std::size_t capacity) {
    return read_fd(fd(h_), buf, std::min(capacity, IO_MOST), error_);
}

std::ptrdiff_t SideFile::read_at(std::uint8_t* buf, std::size_t n, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < n) {
        const ssize_t got =
            ::pread(fd(h_), buf + done, std::min(n - done, IO_MOST), off_t(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            error_ = errno;
            return -1;
        }
        if (got == 0) break;
        done += std::size_t(got);
    }
    return std::ptrdiff_t(done);
}

bool SideFile::write_all(const std::uint8_t* data, std::size_t n) {
    return write_fd(fd(h_), data, n, IO_MOST, error_);
}

bool SideFile::close() {
    if (h_ < 0) return true;
    bool ok = true;
    if (!standard_) {
        // EINTR leaves the descriptor's state unspecified on Linux: not retried.
        ok = ::close(fd(h_)) == 0 || errno == EINTR;
        if (!ok) error_ = errno;
    }
    h_ = -1;
    return ok;
}

void SideFile::remove_created(const char* path) {
    close();
    if (created_) ::unlink(path);
    created_ = false;
}

}  // namespace chunksieve
