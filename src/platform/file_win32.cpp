#include "platform/files.h"

#include <cstring>

#include "platform/handles_win32.h"

namespace chunksieve {

namespace {

bool is_disk_file(HANDLE h) {
    return GetFileType(h) == FILE_TYPE_DISK;
}

// A file's attributes. Wine cannot answer GetFileInformationByHandle for a standard handle it
// made from a POSIX descriptor, but answers GetFileInformationByHandleEx.
bool attributes(HANDLE h, DWORD& attrs) {
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(h, &info)) {
        attrs = info.dwFileAttributes;
        return true;
    }
    FILE_BASIC_INFO basic;
    if (!GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic)) return false;
    attrs = basic.FileAttributes;
    return true;
}

// 1 when a and b are the same file, 0 when not, -1 when it cannot be told (GetLastError()).
// A file is one volume serial number and one file index, whatever the path to it. Where
// GetFileInformationByHandle fails (Wine's standard handles, as above), both are compared by
// FILE_ID_INFO; a volume given as 0 there is unknown, and the same index then counts as the
// same file: refusing a run is the safe mistake.
int same_file(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION ia, ib;
    if (GetFileInformationByHandle(a, &ia) && GetFileInformationByHandle(b, &ib))
        return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
               ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
    FILE_ID_INFO fa, fb;
    if (!GetFileInformationByHandleEx(a, FileIdInfo, &fa, sizeof fa) ||
        !GetFileInformationByHandleEx(b, FileIdInfo, &fb, sizeof fb))
        return -1;
    const bool volume = fa.VolumeSerialNumber == fb.VolumeSerialNumber ||
                        fa.VolumeSerialNumber == 0 || fb.VolumeSerialNumber == 0;
    return volume && std::memcmp(&fa.FileId, &fb.FileId, sizeof fa.FileId) == 0;
}

// A process started without a standard stream has a null handle there, and GetStdHandle
// sets no error for it.
HANDLE standard_handle(DWORD which) {
    const HANDLE h = GetStdHandle(which);
    if (h == nullptr) SetLastError(ERROR_INVALID_HANDLE);
    return h == nullptr ? INVALID_HANDLE_VALUE : h;
}

}  // namespace

bool Files::open_input(const char* path) {
    // Without FILE_FLAG_BACKUP_SEMANTICS a directory cannot be opened at all.
    const HANDLE in =
        CreateFileA(path, GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING, 0, nullptr);
    in_ = value(in);
    return check_input();
}

bool Files::use_standard_input() {
    in_ = value(standard_handle(STD_INPUT_HANDLE));
    return check_input();
}

bool Files::check_input() {
    const HANDLE in = handle(in_);
    if (in == INVALID_HANDLE_VALUE) {
        error_ = int(GetLastError());
        return false;
    }
    if (!is_disk_file(in)) return true;  // a pipe, the console, a device
    DWORD attrs;
    if (!attributes(in, attrs)) {
        error_ = int(GetLastError());
        return false;
    }
    if (attrs & FILE_ATTRIBUTE_DIRECTORY) {
        error_ = ERROR_DIRECTORY;
        return false;
    }
    return true;
}

bool Files::create_output(const char* path) {
    // OPEN_ALWAYS, not CREATE_ALWAYS: whether this is the input under another name (a link, a
    // second path) can only be told once it is open, and CREATE_ALWAYS would have emptied it.
    const HANDLE out =
        CreateFileA(path, GENERIC_WRITE, SHARE_ALL, nullptr, OPEN_ALWAYS, 0, nullptr);
    out_ = value(out);
    return check_output(true);
}

bool Files::use_standard_output() {
    out_ = value(standard_handle(STD_OUTPUT_HANDLE));
    return check_output(false);
}

bool Files::check_output(bool truncate) {
    const HANDLE out = handle(out_);
    if (out == INVALID_HANDLE_VALUE) {
        error_ = int(GetLastError());
        return false;
    }
    if (!is_disk_file(out)) return true;  // a pipe, the console, NUL: nothing to cut
    if (is_disk_file(handle(in_))) {
        const int same = same_file(handle(in_), out);
        if (same < 0) {
            error_ = int(GetLastError());
            return false;
        }
        if (same) {
            error_ = 0;
            clash_ = OutputClash::same_file;
            return false;
        }
    }
    if (truncate && !SetEndOfFile(out)) {  // a new handle is at offset 0
        error_ = int(GetLastError());
        return false;
    }
    return true;
}

bool Files::close_all() {
    if (in_ != -1) CloseHandle(handle(in_));
    in_ = -1;
    if (out_ == -1) return true;
    const bool ok = CloseHandle(handle(out_)) != 0;
    if (!ok) error_ = int(GetLastError());
    out_ = -1;
    return ok;
}

std::string system_message(int code) {
    char* text = nullptr;
    const DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, DWORD(code), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string s = n > 0 && text ? std::string(text, n) : std::string();
    if (text) LocalFree(text);
    // The system's texts end with a full stop and a line break; a message is one line.
    while (!s.empty() &&
           (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '.'))
        s.pop_back();
    if (s.empty()) s = "error " + std::to_string(code);
    return s;
}

int last_system_error() {
    return int(GetLastError());
}

}  // namespace chunksieve
