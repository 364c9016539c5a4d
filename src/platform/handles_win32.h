// What the Windows files share: a handle kept in an std::intptr_t member (-1, which is
// also INVALID_HANDLE_VALUE, while closed), the sharing every file is opened with, and the most
// one ReadFile or WriteFile call moves. Included by the *_win32.cpp files only.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace chunksieve {

inline HANDLE handle(std::intptr_t h) {
    return reinterpret_cast<HANDLE>(h);
}
inline std::intptr_t value(HANDLE h) {
    return reinterpret_cast<std::intptr_t>(h);
}

inline constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Reads and writes move at most one stream block per call, as on POSIX.
inline constexpr DWORD IO_BLOCK = 65536;

// All n bytes to h, continuing after short writes. False with the system's error code in
// `error` when a write fails, or makes no progress without saying why.
inline bool write_all_to(HANDLE h, const std::uint8_t* buf, std::size_t n, int& error) {
    while (n > 0) {
        const DWORD want = n < IO_BLOCK ? DWORD(n) : IO_BLOCK;
        DWORD put = 0;
        if (!WriteFile(h, buf, want, &put, nullptr)) {
            error = int(GetLastError());
            return false;
        }
        if (put == 0) {  // no progress and no error: give up rather than spin
            error = ERROR_WRITE_FAULT;
            return false;
        }
        buf += put;
        n -= put;
    }
    return true;
}

}  // namespace chunksieve
