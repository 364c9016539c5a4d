// The server end of a Windows named pipe, for the command-line tests: Windows has no path for
// a process's standard handles, so a pipe is given to the command by name instead.
//   named_pipe feed NAME FILE PIECE READY   serves FILE to the first client of \\.\pipe\NAME,
//                                          PIECE bytes per write, then closes the pipe
//   named_pipe feed NAME FILE PIECE READY GATE   the same, but once the client is connected it
//                                          creates GATE.wait and feeds only after GATE exists
//   named_pipe drain NAME FILE READY        writes all that the first client sends to FILE
// READY is a file created once the pipe exists, so that a script knows when to start the
// client. A feed ends by closing its end: the client's next read fails with ERROR_BROKEN_PIPE,
// which is how every Windows pipe reports its end. Exit status 0, or 1 on any failure.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

bool read_file(const char* path, std::vector<char>& out) {
    const HANDLE h =
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    char buf[65536];
    DWORD got = 0;
    bool ok;
    while ((ok = ReadFile(h, buf, sizeof buf, &got, nullptr)) && got > 0)
        out.insert(out.end(), buf, buf + got);
    CloseHandle(h);
    return ok;
}

bool touch(const char* path) {
    const HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
}

// Waits for the client; true once it is connected (also if it connected before the call).
bool connect(HANDLE pipe) {
    return ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
}

// Holds a connected client until the script creates `gate`, having told it by `gate`.wait.
bool wait_for_gate(const char* gate) {
    if (!touch((std::string(gate) + ".wait").c_str())) return false;
    for (int i = 0; i < 6000; ++i) {
        if (GetFileAttributesA(gate) != INVALID_FILE_ATTRIBUTES) return true;
        Sleep(10);
    }
    return false;
}

int feed(HANDLE pipe, const char* file, std::size_t piece) {
    std::vector<char> data;
    if (!read_file(file, data) || piece == 0) return 1;
    for (std::size_t off = 0; off < data.size();) {
        const DWORD want = DWORD(data.size() - off < piece ? data.size() - off : piece);
        DWORD put = 0;
        if (!WriteFile(pipe, data.data() + off, want, &put, nullptr) || put == 0) return 1;
        off += put;
    }
    FlushFileBuffers(pipe);  // until the client has read everything
    return 0;
}

int drain(HANDLE pipe, const char* file) {
    const HANDLE out = CreateFileA(file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE) return 1;
    char buf[65536];
    int status = 0;
    for (;;) {
        DWORD got = 0, put = 0;
        if (!ReadFile(pipe, buf, sizeof buf, &got, nullptr)) {
            if (GetLastError() != ERROR_BROKEN_PIPE) status = 1;
            break;
        }
        if (got > 0 && (!WriteFile(out, buf, got, &put, nullptr) || put != got)) {
            status = 1;
            break;
        }
    }
    return CloseHandle(out) ? status : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const bool feeding = mode == "feed" && (argc == 6 || argc == 7);
    if (!feeding && !(mode == "drain" && argc == 5)) return 2;
    const std::string name = std::string("\\\\.\\pipe\\") + argv[2];
    const HANDLE pipe = CreateNamedPipeA(
        name.c_str(), feeding ? PIPE_ACCESS_OUTBOUND : PIPE_ACCESS_INBOUND,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return 1;
    if (!touch(argv[feeding ? 5 : 4]) || !connect(pipe)) return 1;
    if (argc == 7 && !wait_for_gate(argv[6])) return 1;
    const int status =
        feeding ? feed(pipe, argv[3], std::strtoull(argv[4], nullptr, 10)) : drain(pipe, argv[3]);
    CloseHandle(pipe);
    return status;
}
