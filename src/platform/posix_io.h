// What the POSIX files share: opens, reads and writes that go on after an
// interruption.
// Included by the *_posix.cpp files only.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace chunksieve {

// open(), closed on exec, going on after an interruption: a descriptor, or -1 with errno set.
inline int open_retrying(const char* path, int flags, mode_t mode = 0) {
    int f;
    do
        f = ::open(path, flags | O_CLOEXEC, mode);
    while (f < 0 && errno == EINTR);
    return f;
}

// Up to `capacity` bytes from fd: the count, 0 at the end, -1 with `error` set on a failure.
inline std::ptrdiff_t read_fd(int fd, std::uint8_t* buf, std::size_t capacity, int& error) {
    for (;;) {
        const ssize_t got = ::read(fd, buf, capacity);
        if (got >= 0) return got;
        if (errno != EINTR) {
            error = errno;
            return -1;
        }
    }
}

// All n bytes to fd, at most `most` a call, going on after short writes. False with `error` set
// when a write fails, or makes no progress without saying why.
inline bool write_fd(int fd, const std::uint8_t* buf, std::size_t n, std::size_t most, int& error) {
    while (n > 0) {
        const ssize_t put = ::write(fd, buf, n < most ? n : most);
        if (put < 0) {
            if (errno == EINTR) continue;
            error = errno;
            return false;
        }
        if (put == 0) {  // no progress and no error: give up rather than spin
            error = EIO;
            return false;
        }
        buf += put;
        n -= std::size_t(put);
    }
    return true;
}

}  // namespace chunksieve
