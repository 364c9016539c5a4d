// Whether the process's standard streams are terminals. One header for every platform:
// terminal_posix.cpp answers with isatty(), terminal_win32.cpp with GetConsoleMode() (a console,
// not merely a character device: NUL is written to like a file); the build compiles one of them.
#pragma once

namespace chunksieve {

// Standard output: binary bytes sent there would garble the terminal, so the command refuses to
// write them unless forced.
bool stdout_is_terminal();
// Standard error: only there may a progress line be redrawn.
bool stderr_is_terminal();

}  // namespace chunksieve
