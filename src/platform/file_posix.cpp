#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.h"
#include "platform/posix_io.h"

namespace chunksieve {

namespace {

int fd(std::intptr_t h) {
    return int(h);
}

// What an input pipe is asked to hold: as much as an unprivileged process may ask for by default.
[[maybe_unused]] constexpr int INPUT_PIPE_BYTES = 1 << 20;

}  // namespace

bool Files::open_input(const char* path) {
    const int in = open_retrying(path, O_RDONLY);
    in_ = in;
    if (in < 0) {
        error_ = errno;
        return false;
    }
    return check_input();
}

bool Files::use_standard_input() {
    in_ = STDIN_FILENO;
    return check_input();
}

bool Files::check_input() {
    struct stat st;
    if (fstat(fd(in_), &st) != 0) {
        error_ = errno;
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        error_ = EISDIR;
        return false;
    }
#if defined(F_SETPIPE_SZ)
    // A pipe of 64 KiB holds one block: the writer at its other end then waits for every read,
    // and every read waits for the writer. A larger one lets the writer run ahead while the
    // filter works. Only a wish: the system may refuse it, and nothing else depends on it.
    if (S_ISFIFO(st.st_mode)) (void)fcntl(fd(in_), F_SETPIPE_SZ, INPUT_PIPE_BYTES);
#endif
    return true;
}

bool Files::create_output(const char* path) {
    // Open without O_TRUNC first: whether this is the input under another name (a link, a
    // second path) can only be told once it is open, and by then O_TRUNC would have emptied it.
    const int out = open_retrying(path, O_WRONLY | O_CREAT, 0666);
    out_ = out;
    if (out < 0) {
        error_ = errno;
        return false;
    }
    return check_output(true);
}

bool Files::use_standard_output() {
    out_ = STDOUT_FILENO;
    return check_output(false);
}

bool Files::check_output(bool truncate) {
    struct stat in_st, out_st;
    if (fstat(fd(in_), &in_st) != 0 || fstat(fd(out_), &out_st) != 0) {
        error_ = errno;
        return false;
    }
    error_ = 0;
    // A disk written raw destroys the input if it is that disk (under any device node) or a
    // file on it.
    if (S_ISBLK(out_st.st_mode)) {
        if (S_ISBLK(in_st.st_mode) && in_st.st_rdev == out_st.st_rdev)
            clash_ = OutputClash::same_file;
        else if (in_st.st_dev == out_st.st_rdev)
            clash_ = OutputClash::input_on_device;
        return clash_ == OutputClash::none;
    }
    if (!S_ISREG(out_st.st_mode)) return true;  // a pipe, a terminal, a device: nothing to cut
    if (in_st.st_dev == out_st.st_dev && in_st.st_ino == out_st.st_ino) {
        clash_ = OutputClash::same_file;
        return false;
    }
    // An output that is already empty is not cut: on some file systems (ext4) cutting a file
    // to nothing makes its close start writing all of it to disk, which the run would wait for
    // and a save of the index state after it would queue behind.
    if (truncate && out_st.st_size > 0 && ftruncate(fd(out_), 0) != 0) {
        error_ = errno;
        return false;
    }
    return true;
}

bool Files::close_all() {
    if (in_ >= 0) ::close(fd(in_));
    in_ = -1;
    if (out_ < 0) return true;
    // A failing close can be the first report of a write that did not reach the file. EINTR
    // leaves the descriptor's state unspecified on Linux, so it is not retried.
    const bool ok = ::close(fd(out_)) == 0 || errno == EINTR;
    if (!ok) error_ = errno;
    out_ = -1;
    return ok;
}

std::string system_message(int code) {
    return strerror(code);
}

int last_system_error() {
    return errno;
}

}  // namespace chunksieve
