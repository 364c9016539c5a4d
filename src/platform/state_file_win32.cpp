#include "platform/state_file.h"

#include "platform/handles_win32.h"

namespace chunksieve {

namespace {

const std::uint8_t NO_BYTES = 0;

// How often a lock is tried again after the lock file it was had on proved on its way out. Each
// time a run made it and failed; past this, runs come and go so fast that the state counts as in
// use.
constexpr int LOCK_ATTEMPTS = 100;

bool same_file(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

bool identify(const char* path, BY_HANDLE_FILE_INFORMATION& info) {
    const HANDLE h = CreateFileA(path, 0, SHARE_ALL, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = GetFileInformationByHandle(h, &info) != 0;
    CloseHandle(h);
    return ok;
}

}  // namespace

StateFile::~StateFile() {
    release_bytes();
    abandon();
    if (lock_ == -1) return;
    // Marked for removal while still held; it goes with the last handle to it. Until then no run
    // can open it, and a run that opened it before sees, once it has its lock, that it is on its
    // way out, and starts again (lock()).
    if (made_lock_ && !keep_lock_) {
        FILE_DISPOSITION_INFO removal{};
        removal.DeleteFile = TRUE;
        SetFileInformationByHandle(handle(lock_), FileDispositionInfo, &removal, sizeof removal);
    }
    CloseHandle(handle(lock_));  // closing releases the lock
}

bool StateFile::lock() {
    const char* const path = lock_path_.c_str();
    constexpr DWORD ACCESS = GENERIC_READ | GENERIC_WRITE;
    for (int attempt = 0; attempt < LOCK_ATTEMPTS; ++attempt) {
        bool made = false;
        HANDLE l = CreateFileA(path, ACCESS, SHARE_ALL, nullptr, OPEN_EXISTING, 0, nullptr);
        if (l == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND) {
            // Made here: with the right to remove it, should the run not complete.
            l = CreateFileA(path, ACCESS | DELETE, SHARE_ALL, nullptr, CREATE_NEW, 0, nullptr);
            made = l != INVALID_HANDLE_VALUE;
            // Made meanwhile by another run: not this run's.
            if (l == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS)
                l = CreateFileA(path, ACCESS, SHARE_ALL, nullptr, OPEN_ALWAYS, 0, nullptr);
        }
        if (l == INVALID_HANDLE_VALUE) {
            error_ = int(GetLastError());
            return false;
        }
        OVERLAPPED at{};
        if (!LockFileEx(l, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
            error_ = int(GetLastError());
            in_use_ = error_ == ERROR_LOCK_VIOLATION;
            CloseHandle(l);
            return false;
        }
        FILE_STANDARD_INFO info;
        if (!GetFileInformationByHandleEx(l, FileStandardInfo, &info, sizeof info)) {
            error_ = int(GetLastError());
            CloseHandle(l);
            return false;
        }
        if (!info.DeletePending) {
            lock_ = value(l);
            made_lock_ = made;
            return true;
        }
        CloseHandle(l);  // its maker removed it before this run's lock: it guards nothing
    }
    in_use_ = true;
    return false;
}

StateRead StateFile::read() {
    const DWORD attributes = GetFileAttributesA(path_.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        error_ = int(GetLastError());
        return error_ == ERROR_FILE_NOT_FOUND ? StateRead::absent : StateRead::failed;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return StateRead::directory;
    const HANDLE f =
        CreateFileA(path_.c_str(), GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        error_ = int(GetLastError());
        return StateRead::failed;
    }
    StateRead result = StateRead::ok;
    LARGE_INTEGER length;
    if (GetFileType(f) != FILE_TYPE_DISK) {
        result = StateRead::not_file;
    } else if (!GetFileSizeEx(f, &length)) {
        error_ = int(GetLastError());
        result = StateRead::failed;
    } else if (std::uint64_t(length.QuadPart) > SIZE_MAX) {
        error_ = ERROR_FILE_TOO_LARGE;
        result = StateRead::failed;
    } else if (length.QuadPart == 0) {
        bytes_ = &NO_BYTES;  // a mapping cannot be empty
    } else {
        // The view keeps the mapping alive once it is made; the handle is not needed after.
        const HANDLE mapping = CreateFileMappingA(f, nullptr, PAGE_READONLY, 0, 0, nullptr);
        const void* view = mapping ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
        if (!view) {
            error_ = int(GetLastError());
            result = StateRead::failed;
        } else {
            bytes_ = static_cast<const std::uint8_t*>(view);
            size_ = std::size_t(length.QuadPart);
        }
        if (mapping) CloseHandle(mapping);
    }
    CloseHandle(f);
    return result;
}

void StateFile::release_bytes() {
    if (size_ > 0) UnmapViewOfFile(bytes_);
    bytes_ = nullptr;
    size_ = 0;
}

bool StateFile::is_state(const char* path) const {
    BY_HANDLE_FILE_INFORMATION a, b;
    return identify(path_.c_str(), a) && identify(path, b) && same_file(a, b);
}

bool StateFile::begin() {
    // Held by this run alone under the lock; a leftover of a run that died is overwritten.
    const HANDLE t = CreateFileA(temp_path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (t == INVALID_HANDLE_VALUE) {
        error_ = int(GetLastError());
        return false;
    }
    temp_ = value(t);
    return true;
}

bool StateFile::write_all(const std::uint8_t* data, std::size_t n) {
    return write_all_to(handle(temp_), data, n, error_);
}

bool StateFile::commit() {
    // On disk before the rename: after a crash the name holds the old state or the new, whole.
    bool ok = FlushFileBuffers(handle(temp_)) != 0;
    if (!ok) error_ = int(GetLastError());
    const HANDLE t = handle(temp_);
    temp_ = -1;
    if (!CloseHandle(t) && ok) {
        ok = false;
        error_ = int(GetLastError());
    }
    if (ok && !MoveFileExA(temp_path_.c_str(), path_.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ok = false;
        error_ = int(GetLastError());
    }
    if (!ok) DeleteFileA(temp_path_.c_str());
    return ok;
}

void StateFile::abandon() {
    if (temp_ == -1) return;
    CloseHandle(handle(temp_));
    temp_ = -1;
    DeleteFileA(temp_path_.c_str());
}

}  // namespace chunksieve
