// The command's arguments: options anywhere before a "--", then exactly the two operands.
// The options are one table (command_line.cpp), from which the parser and the help are made.
#pragma once

#include <string>
#include <vector>

namespace chunksieve {

struct CommandLine {
    bool help = false;
    bool version = false;
    bool stats = false;
    bool progress = false;
    std::vector<const char*> operands;  // "-" stands for the standard input or output
    std::string error;                  // why the arguments were refused; empty when they were not
};

// Reads argv[1 .. argc). An option is an argument starting with "-" other than "-" itself:
// "--name", "--name=VALUE" or "--name VALUE", or "-x", several flags in one ("-hV"), and "-xVALUE"
// or "-x VALUE". "--" ends the options. The operands are not counted here.
CommandLine parse_command_line(int argc, char** argv);

// The --help text, several lines, each ending in a line break.
std::string help_text();

// The path as it may stand in a one-line message: between quotes, control characters as '?'.
std::string quoted(const char* path);

}  // namespace chunksieve
