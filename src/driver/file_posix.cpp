#include "driver/files.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace chunksieve {

namespace {

int fd(std::intptr_t h) {
    return int(h);
}

}  // namespace

bool Files::open_input(const char* path) {
    int in;
    do
        in = ::open(path, O_RDONLY | O_CLOEXEC);
    while (in < 0 && errno == EINTR);
    in_ = in;
    if (in < 0) return false;
    struct stat st;
    if (fstat(in, &st) != 0 || S_ISDIR(st.st_mode)) return false;
    return true;
}

bool Files::create_output(const char* path) {
    // Open without O_TRUNC first: whether this is the input under another name (a link, a
    // second path) can only be told once it is open, and by then O_TRUNC would have emptied it.
    int out;
    do
        out = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    while (out < 0 && errno == EINTR);
    out_ = out;
    if (out < 0) return false;
    struct stat in_st, out_st;
    if (fstat(fd(in_), &in_st) != 0 || fstat(out, &out_st) != 0) return false;
    // A disk written raw destroys the input if it is that disk (under any device node) or a
    // file on it.
    if (S_ISBLK(out_st.st_mode))
        return !(S_ISBLK(in_st.st_mode) && in_st.st_rdev == out_st.st_rdev) &&
               in_st.st_dev != out_st.st_rdev;
    if (!S_ISREG(out_st.st_mode)) return true;  // a pipe, a terminal, a device: nothing to cut
    if (in_st.st_dev == out_st.st_dev && in_st.st_ino == out_st.st_ino) return false;
    return ftruncate(out, 0) == 0;
}

std::int64_t Files::input_size() const {
    struct stat st;
    if (fstat(fd(in_), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return st.st_size;
}

bool Files::close_all() {
    if (in_ >= 0) ::close(fd(in_));
    in_ = -1;
    if (out_ < 0) return true;
    // A failing close can be the first report of a write that did not reach the file. EINTR
    // leaves the descriptor's state unspecified on Linux, so it is not retried.
    const bool ok = ::close(fd(out_)) == 0 || errno == EINTR;
    out_ = -1;
    return ok;
}

std::ptrdiff_t Files::read(std::uint8_t* buf, std::size_t capacity) {
    for (;;) {
        const ssize_t got = ::read(fd(in_), buf, capacity);
        if (got >= 0) return got;
        if (errno != EINTR) return -1;
    }
}

bool Files::write_all(const std::uint8_t* buf, std::size_t n) {
    while (n > 0) {
        const ssize_t put = ::write(fd(out_), buf, n);
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (put == 0) return false;  // no progress and no error: give up rather than spin
        buf += put;
        n -= std::size_t(put);
    }
    return true;
}

}  // namespace chunksieve
