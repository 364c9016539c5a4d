// The few POSIX memory calls the unit tests use (anonymous mappings and guard pages), for
// Windows builds, on VirtualAlloc and VirtualProtect. Test code only: the command's own
// platform code is in src/platform/table_memory_win32.cpp.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstddef>

#define PROT_NONE 0
#define PROT_READ 1
#define PROT_WRITE 2
#define MAP_PRIVATE 0x02
#define MAP_ANONYMOUS 0x20
#define MAP_FAILED (reinterpret_cast<void*>(-1))
#define _SC_PAGESIZE 30

inline long sysconf(int name) {
    if (name != _SC_PAGESIZE) return -1;
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return long(info.dwPageSize);
}

// Only what the tests ask for: anonymous, private, readable and writable, zero-filled.
inline void* mmap(void* addr, std::size_t length, int prot, int flags, int fd, long offset) {
    if (addr || fd != -1 || offset || !(flags & MAP_ANONYMOUS) || prot != (PROT_READ | PROT_WRITE))
        return MAP_FAILED;
    void* p = VirtualAlloc(nullptr, length, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    return p ? p : MAP_FAILED;
}

inline int mprotect(void* addr, std::size_t length, int prot) {
    DWORD protect = PAGE_NOACCESS;
    if (prot == PROT_READ) protect = PAGE_READONLY;
    if (prot & PROT_WRITE) protect = PAGE_READWRITE;
    DWORD old;
    return VirtualProtect(addr, length, protect, &old) ? 0 : -1;
}

// The whole mapping at once, as the tests unmap it.
inline int munmap(void* addr, std::size_t) {
    return VirtualFree(addr, 0, MEM_RELEASE) ? 0 : -1;
}
