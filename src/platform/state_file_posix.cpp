#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix_io.h"
#include "platform/state_file.h"

namespace chunksieve {

namespace {

const std::uint8_t NO_BYTES = 0;

// How much of a save is written before the disk is asked to start on it.
constexpr std::uint64_t WRITEBACK_STEP = std::uint64_t(4) << 20;

// How often a lock is tried again after the lock file it was had on proved removed. Each time a
// run made it and failed; past this, runs come and go so fast that the state counts as in use.
constexpr int LOCK_ATTEMPTS = 100;

int fd(std::intptr_t h) {
    return int(h);
}

// The directory entry of a rename reaches the disk only with its directory.
void sync_directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int d = open_retrying(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (d < 0) return;
    fsync(d);  // the rename has happened: a failure here cannot undo it, nor be reported as one
    ::close(d);
}

}  // namespace

StateFile::~StateFile() {
    release_bytes();
    if (uncaching_.joinable()) uncaching_.join();
    abandon();
    if (lock_ < 0) return;
    // Removed while still held: a run that opened it meanwhile sees, once it has its lock, that
    // the file is gone, and starts again (lock()).
    if (made_lock_ && !keep_lock_) ::unlink(lock_path_.c_str());
    ::close(fd(lock_));  // closing releases the lock
}

bool StateFile::lock() {
    for (int attempt = 0; attempt < LOCK_ATTEMPTS; ++attempt) {
        bool made = false;
        int l = open_retrying(lock_path_.c_str(), O_RDWR);
        if (l < 0 && errno == ENOENT) {
            l = open_retrying(lock_path_.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
            made = l >= 0;
            // Made meanwhile by another run, or a link to a file yet to be made: not this run's.
            if (l < 0 && errno == EEXIST)
                l = open_retrying(lock_path_.c_str(), O_RDWR | O_CREAT, 0666);
        }
        if (l < 0) {
            error_ = errno;
            return false;
        }
        int r;
        do
            r = flock(l, LOCK_EX | LOCK_NB);
        while (r != 0 && errno == EINTR);
        if (r != 0) {
            error_ = errno;
            in_use_ = errno == EWOULDBLOCK;
            ::close(l);
            return false;
        }
        struct stat held, named;
        if (fstat(l, &held) != 0) {
            error_ = errno;
            ::close(l);
            return false;
        }
        if (stat(lock_path_.c_str(), &named) == 0 && named.st_dev == held.st_dev &&
            named.st_ino == held.st_ino) {
            lock_ = l;
            made_lock_ = made;
            return true;
        }
        ::close(l);  // its maker removed it before this run's lock: what it locked guards nothing
    }
    in_use_ = true;
    return false;
}

StateRead StateFile::read() {
    const int f = open_retrying(path_.c_str(), O_RDONLY | O_NONBLOCK);  // a pipe must not block
    if (f < 0) {
        error_ = errno;
        return errno == ENOENT ? StateRead::absent : StateRead::failed;
    }
    struct stat st;
    StateRead result = StateRead::ok;
    if (fstat(f, &st) != 0) {
        error_ = errno;
        result = StateRead::failed;
    } else if (S_ISDIR(st.st_mode)) {
        result = StateRead::directory;
    } else if (!S_ISREG(st.st_mode)) {
        result = StateRead::not_file;
    } else if (std::uint64_t(st.st_size) > SIZE_MAX) {
        error_ = EFBIG;
        result = StateRead::failed;
    } else if (st.st_size == 0) {
        bytes_ = &NO_BYTES;  // a mapping cannot be empty
    } else {
        void* m = mmap(nullptr, std::size_t(st.st_size), PROT_READ, MAP_PRIVATE, f, 0);
        if (m == MAP_FAILED) {
            error_ = errno;
            result = StateRead::failed;
        } else {
            bytes_ = static_cast<const std::uint8_t*>(m);
            size_ = std::size_t(st.st_size);
            mapped_ = f;
            return result;
        }
    }
    ::close(f);
    return result;
}

void StateFile::release_bytes() {
    if (size_ > 0) munmap(const_cast<std::uint8_t*>(bytes_), size_);
    bytes_ = nullptr;
    size_ = 0;
    if (mapped_ < 0) return;
    const int f = fd(mapped_);
    mapped_ = -1;
    const auto uncache = [f] {
#if defined(POSIX_FADV_DONTNEED)
        (void)posix_fadvise(f, 0, 0, POSIX_FADV_DONTNEED);  // only a wish
#endif
        ::close(f);
    };
    if (uncaching_.joinable()) uncaching_.join();  // a state read and released before
    try {
        uncaching_ = std::thread(uncache);
    } catch (...) {
        ::close(f);  // no thread: the rename pays for the cached pages, as it would anyway
    }
}

bool StateFile::is_state(const char* path) const {
    struct stat a, b;
    return stat(path_.c_str(), &a) == 0 && stat(path, &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

bool StateFile::begin() {
    // Held by this run alone under the lock; a leftover of a run that died is overwritten.
    const int t = open_retrying(temp_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (t < 0) {
        error_ = errno;
        return false;
    }
    temp_ = t;
    written_ = written_back_ = 0;
    return true;
}

bool StateFile::write_all(const std::uint8_t* data, std::size_t n) {
    while (n > 0) {
        const ssize_t put = ::write(fd(temp_), data, n);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            error_ = put < 0 ? errno : EIO;
            return false;
        }
        data += put;
        n -= std::size_t(put);
        written_ += std::uint64_t(put);
    }
#if defined(__linux__)
    // The disk starts on what has been written while the rest is still being made, so that the
    // flush in commit() has less left to wait for. Only a start: commit() still flushes it all.
    if (written_ - written_back_ >= WRITEBACK_STEP) {
        sync_file_range(fd(temp_), off_t(written_back_), off_t(written_ - written_back_),
                        SYNC_FILE_RANGE_WRITE);
        written_back_ = written_;
    }
#endif
    return true;
}

bool StateFile::commit() {
    if (uncaching_.joinable()) uncaching_.join();
    // On disk before the rename: after a crash the name holds the old state or the new, whole.
    bool ok = fsync(fd(temp_)) == 0;
    if (!ok) error_ = errno;
    const int t = fd(temp_);
    temp_ = -1;
    if (::close(t) != 0 && ok) {
        ok = false;
        error_ = errno;
    }
    if (ok && ::rename(temp_path_.c_str(), path_.c_str()) != 0) {
        ok = false;
        error_ = errno;
    }
    if (!ok) {
        ::unlink(temp_path_.c_str());
        return false;
    }
    sync_directory_of(path_);
    return true;
}

void StateFile::abandon() {
    if (temp_ < 0) return;
    ::close(fd(temp_));
    temp_ = -1;
    ::unlink(temp_path_.c_str());
}

}  // namespace chunksieve
