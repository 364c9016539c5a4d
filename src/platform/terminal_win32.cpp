#include "platform/handles_win32.h"
#include "platform/terminal.h"

namespace chunksieve {

namespace {

bool is_console(DWORD stream) {
    DWORD mode;
    return GetConsoleMode(GetStdHandle(stream), &mode) != 0;
}

}  // namespace

bool stdout_is_terminal() {
    return is_console(STD_OUTPUT_HANDLE);
}

bool stderr_is_terminal() {
    return is_console(STD_ERROR_HANDLE);
}

}  // namespace chunksieve
