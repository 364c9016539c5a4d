// The files of a run beside its input and output: the map a run writes, and the map, output,
// links and restored input that expand reads and writes. One class for every platform:
// side_file_posix.cpp implements it on POSIX descriptors, side_file_win32.cpp on Windows
// handles. Nothing here prints: a failed step leaves the system's error code behind.
#pragma once

#include <cstdint>

#include <cstddef>

namespace chunksieve {

// Whether a path is "-", which the files here take as the standard input or output.
inline bool is_standard(const char* path) {
    return path[0] == '-' && path[1] == '\0';
}

// Which file a path or an open file is, whatever the name it goes by.
struct FileId {
    std::uint64_t volume = 0, index = 0;
    bool known = false;
    bool operator==(const FileId& o) const {
        return known && o.known && volume == o.volume && index == o.index;
    }
};

// The file `path` names ("-": none), when it exists.
FileId file_id(const char* path);

class SideFile {
  public:
    SideFile() = default;
    SideFile(const SideFile&) = delete;
    SideFile& operator=(const SideFile&) = delete;
    // Closes the file if it is open (a created file stays).
    ~SideFile();

    // Opens a file to read; it must not be a directory. "-": the standard input.
    bool open_read(const char* path);
    // Opens a file to write, creating it if there is none, without cutting it yet (so that what
    // it is can be checked first); `readable` also lets it be read back. "-": the standard
    // output. cut() then empties it, unless it is empty already or not a regular file.
    bool open_write(const char* path, bool readable);
    bool cut();

    bool is_regular() const { return regular_; }
    std::intptr_t native_handle() const { return h_; }  // a descriptor or a HANDLE, -1 while closed
    bool created() const { return created_; }  // open_write made it: it did not exist before
    FileId id() const;

    std::ptrdiff_t read(std::uint8_t* buf, std::size_t capacity);
    std::ptrdiff_t read_at(std::uint8_t* buf, std::size_t n, std::uint64_t offset);
    bool write_all(const std::uint8_t* data, std::size_t n);

    // Closes it; false when closing a written file failed (written data may be lost).
    bool close();
    // Closes and removes a file that open_write created: what a failed run leaves of it.
    void remove_created(const char* path);

    int error() const { return error_; }

  private:
    bool check(bool for_write);

    std::intptr_t h_ = -1;  // a descriptor or a handle, -1 while closed
    bool standard_ = false;
    bool regular_ = false;
    bool created_ = false;
    // Where reads and writes in order go on from, for a regular file on Windows, whose reads
    // back at an offset would otherwise move it.
    [[maybe_unused]] std::uint64_t position_ = 0;
    int error_ = 0;
};

}  // namespace chunksieve
