// The file behind --index STATE: locked for the whole run, read whole before the run, and
// replaced whole after it. One class for every platform: state_file_posix.cpp implements it on
// POSIX descriptors, state_file_win32.cpp on Windows handles; the build compiles one of them.
//
// Invariants: while one run holds the lock, no other run reads or replaces the file; the file
// is only ever replaced by a rename of a complete, flushed temporary file beside it, so at every
// moment it is either the old state or the new one, whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>


namespace chunksieve {

enum class StateRead {
    ok,         // the whole file is at bytes()
    absent,     // there is no file: the run starts with an empty index
    directory,  // a directory stands there
    not_file,   // something else that is not a regular file (a pipe, a device)
    failed,     // it could not be read or mapped (error() tells why)
};

class StateFile {
  public:
    explicit StateFile(const char* path)
        : path_(path), temp_path_(path_ + ".tmp"), lock_path_(path_ + ".lock") {}
    // Gives up an unfinished save (the temporary file is removed) and releases the lock, after
    // removing the lock file if this run made it and keep_lock() was not called.
    ~StateFile();
    StateFile(const StateFile&) = delete;
    StateFile& operator=(const StateFile&) = delete;

    // Takes the lock, without waiting, on PATH.lock beside the state (made on first use: the
    // lock must exist whether or not the state does). False when it cannot be had; in_use()
    // then tells whether another run holds it.
    //
    // A run that made PATH.lock and does not complete removes it again, while it still holds it,
    // so that a refused run leaves nothing new. Hence a lock is only had once PATH.lock is still
    // the file locked: a run that opened it just before its maker removed it would otherwise
    // hold a lock that no later run sees.
    bool lock();
    bool in_use() const { return in_use_; }
    // After a complete run: PATH.lock stays for the runs to come, whoever made it.
    void keep_lock() { keep_lock_ = true; }

    // Maps the file's bytes, read-only: no copy, and no memory of the run's own for them. Nothing
    // may truncate the file while they are mapped: runs keep to the lock, and a save never
    // writes the state in place.
    StateRead read();
    const std::uint8_t* bytes() const { return bytes_; }
    std::size_t size() const { return size_; }
    void release_bytes();

    // Whether `path` names the state file itself, under any name (both must exist).
    bool is_state(const char* path) const;

    // Saving: begin() creates the temporary file PATH.tmp, write_all() fills it, and commit()
    // flushes it to disk and renames it over the state. Any false leaves the state as it was.
    bool begin();
    bool write_all(const std::uint8_t* data, std::size_t n);
    bool commit();

    // The system's error code of the last step that failed.
    int error() const { return error_; }

  private:
    void abandon();

    std::string path_, temp_path_, lock_path_;
    std::intptr_t lock_ = -1;  // a descriptor or a handle, -1 while closed
    std::intptr_t temp_ = -1;
    std::uint64_t written_ = 0;       // bytes of the temporary file written
    std::uint64_t written_back_ = 0;  // of these, bytes already sent on their way to the disk
    bool in_use_ = false;
    bool made_lock_ = false;  // PATH.lock was made by this run, which holds it
    bool keep_lock_ = false;
    const std::uint8_t* bytes_ = nullptr;  // the mapping; a dummy byte for an empty file
    std::size_t size_ = 0;
    std::intptr_t mapped_ = -1;  // the state's descriptor while its bytes are mapped
    // Once the bytes are loaded, their cached copy is of no more use, and dropping it costs a
    // few milliseconds that the rename of a save would otherwise spend: done beside the run.
    std::thread uncaching_;
    int error_ = 0;
};

}  // namespace chunksieve
