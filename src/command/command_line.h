// The command's arguments: options anywhere before a "--", then exactly the two operands.
// The options are one table (command_line.cpp), from which the parser and the help are made.
#pragma once

#include <string>
#include <vector>

#include "platform/side_file.h"  // is_standard

namespace chunksieve {

struct CommandLine {
    bool help = false;
    bool version = false;
    bool stats = false;
    bool progress = false;
    bool force = false;           // write to standard output even when it is a terminal
    const char* index = nullptr;  // --index STATE: the saved index to start from and update
    const char* map = nullptr;    // --map MAP: the map written, or read with --expand
    bool expand = false;          // rebuild the input from OUT and MAP
    // The earlier runs of a chain, for --expand, in order: each link's map, and its output or
    // the input it restores to, paired in the order given.
    std::vector<const char*> link_maps;
    struct LinkData {
        const char* path;
        bool is_input;
    };
    std::vector<LinkData> link_data;
    std::vector<const char*> operands;  // "-" stands for the standard input or output
    std::string error;                  // why the arguments were refused; empty when they were not
};

// Reads argv[1 .. argc). An option is an argument starting with "-" other than "-" itself:
// "--name", "--name=VALUE" or "--name VALUE", or "-x", several flags in one ("-hV"), and "-xVALUE"
// or "-x VALUE". "--" ends the options. The operands are not counted here.
CommandLine parse_command_line(int argc, char** argv);

// The --help text, several lines, each ending in a line break.
std::string help_text();

// Prints "chunksieve: WHAT" on standard error and gives the failure exit status, 1.
int fail(const std::string& what);

// Why binary bytes are not written to standard output, a terminal: `what` names them ("the
// output", "the map"). --force writes them there anyway.
std::string terminal_refused(const char* what);

// The path as it may stand in a one-line message: between quotes, control characters as '?'.
std::string quoted(const char* path);

// How a message names an operand that is read, or written: quoted, or the standard stream.
std::string input_name(const char* path);
std::string output_name(const char* path);

}  // namespace chunksieve
