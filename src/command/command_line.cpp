#include "command/command_line.h"

#include <cstdio>
#include <cstring>

namespace chunksieve {

namespace {

// One option. A flag sets a bool; an option with a value (value_name set) stores its argument,
// or with `list` set adds it to a list (a link's map, output or input).
enum class ListOf { none, link_map, link_out, link_in };
struct Option {
    char short_name;  // 0: none
    const char* long_name;
    bool CommandLine::*flag;
    const char* CommandLine::*value;
    const char* value_name;  // as the help shows it; nullptr for a flag
    const char* help;
    ListOf list = ListOf::none;
};

constexpr Option OPTIONS[] = {
    {'h', "help", &CommandLine::help, nullptr, nullptr, "show this help and exit"},
    {'V', "version", &CommandLine::version, nullptr, nullptr, "show the version and exit"},
    {0, "stats", &CommandLine::stats, nullptr, nullptr,
     "at the end, print the run's figures on standard error"},
    {0, "progress", &CommandLine::progress, nullptr, nullptr,
     "while running, show progress on standard error if it is a terminal"},
    {'f', "force", &CommandLine::force, nullptr, nullptr,
     "write OUT, MAP or RESTORED to standard output even when it is a terminal"},
    {0, "index", nullptr, &CommandLine::index, "STATE",
     "start from the index saved in STATE, if there is one, and after a complete run save the "
     "updated index there"},
    {0, "map", nullptr, &CommandLine::map, "MAP",
     "also write MAP, which rebuilds IN from OUT; with --expand, the map to read"},
    {0, "expand", &CommandLine::expand, nullptr, nullptr,
     "rebuild: chunksieve --expand --map MAP OUT RESTORED writes to RESTORED the input that "
     "MAP and OUT were made from"},
    {0, "link-map", nullptr, nullptr, "LMAP",
     "with --expand, the map of an earlier run of the chain that MAP goes on from; once per "
     "run, the first run first",
     ListOf::link_map},
    {0, "link-out", nullptr, nullptr, "LOUT",
     "with --expand, that run's output, a regular file; the i-th --link-out or --link-in goes "
     "with the i-th --link-map",
     ListOf::link_out},
    {0, "link-in", nullptr, nullptr, "LIN",
     "with --expand, the input that run was made from (or its restored copy), in place of its "
     "output",
     ListOf::link_in},
};

const Option* find_long(const char* name, std::size_t len) {
    for (const Option& o : OPTIONS)
        if (std::strlen(o.long_name) == len && std::strncmp(o.long_name, name, len) == 0) return &o;
    return nullptr;
}

const Option* find_short(char c) {
    for (const Option& o : OPTIONS)
        if (o.short_name != 0 && o.short_name == c) return &o;
    return nullptr;
}

std::string option_name(const Option& o, bool as_long) {
    return as_long ? std::string("--") + o.long_name : std::string("-") + o.short_name;
}

// Applies o; `attached` is a value given in the same argument (after '=' or the letter),
// nullptr if none. May take the next argument as the value. False with cl.error set on misuse.
bool apply(CommandLine& cl, const Option& o, bool as_long, const char* attached, int& i, int argc,
           char** argv) {
    if (!o.value_name) {
        if (attached) {
            cl.error = "option '" + option_name(o, as_long) + "' takes no value";
            return false;
        }
        cl.*o.flag = true;
        return true;
    }
    if (!attached) {
        if (i + 1 >= argc) {
            cl.error = "option '" + option_name(o, as_long) + "' needs a value";
            return false;
        }
        attached = argv[++i];
    }
    switch (o.list) {
        case ListOf::none:
            cl.*o.value = attached;
            break;
        case ListOf::link_map:
            cl.link_maps.push_back(attached);
            break;
        case ListOf::link_out:
        case ListOf::link_in:
            cl.link_data.push_back({attached, o.list == ListOf::link_in});
            break;
    }
    return true;
}

}  // namespace

CommandLine parse_command_line(int argc, char** argv) {
    CommandLine cl;
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (options_end || arg[0] != '-' || arg[1] == '\0') {
            cl.operands.push_back(arg);
            continue;
        }
        if (std::strcmp(arg, "--") == 0) {
            options_end = true;
            continue;
        }
        if (arg[1] == '-') {
            const char* name = arg + 2;
            const char* eq = std::strchr(name, '=');
            const Option* o = find_long(name, eq ? std::size_t(eq - name) : std::strlen(name));
            if (!o) {
                cl.error = "unknown option '" +
                           std::string(name - 2, eq ? eq : name + std::strlen(name)) + "'";
                return cl;
            }
            if (!apply(cl, *o, true, eq ? eq + 1 : nullptr, i, argc, argv)) return cl;
            continue;
        }
        for (const char* c = arg + 1; *c; ++c) {
            const Option* o = find_short(*c);
            if (!o) {
                cl.error = std::string("unknown option '-") + *c + "'";
                return cl;
            }
            const char* attached = o->value_name && c[1] ? c + 1 : nullptr;
            if (!apply(cl, *o, false, attached, i, argc, argv)) return cl;
            if (o->value_name) break;  // the rest of the argument, or the next one, was its value
        }
    }
    return cl;
}

std::string help_text() {
    std::string s =
        "usage: chunksieve [OPTION]... [--] IN OUT\n"
        "       chunksieve --expand --map MAP [--link-map LMAP (--link-out LOUT | --link-in "
        "LIN)]...\n"
        "                  [--] OUT RESTORED\n"
        "Writes to OUT the first copy of every distinct content-defined chunk of IN, each\n"
        "padded to a multiple of 64 bytes. IN '-' is the standard input, OUT '-' the standard\n"
        "output (a file named '-' is './-'). With --map, MAP records the rest, and --expand\n"
        "rebuilds IN from OUT and MAP; a run that went on from an --index STATE needs the\n"
        "earlier runs of its chain as links.\n"
        "\n";
    constexpr std::size_t LEFT = 24, WIDTH = 79;
    for (const Option& o : OPTIONS) {
        std::string left = o.short_name ? std::string("  -") + o.short_name + ", " : "      ";
        left += std::string("--") + o.long_name;
        if (o.value_name) left += std::string(" ") + o.value_name;
        if (left.size() < LEFT) left.resize(LEFT, ' ');
        // The help, in lines that fit, each after the left column.
        std::string line = left;
        for (const char* w = o.help; *w;) {
            const char* e = std::strchr(w, ' ');
            const std::size_t len = e ? std::size_t(e - w) : std::strlen(w);
            if (line.size() > LEFT && line.size() + 1 + len > WIDTH) {
                s += line + "\n";
                line = std::string(LEFT, ' ');
            } else if (line.size() > LEFT && line.back() != ' ') {
                line += ' ';
            }
            line.append(w, len);
            w += len;
            while (*w == ' ')
                ++w;
        }
        s += line + "\n";
    }
    s += "  --                    end of options: the remaining arguments are operands\n"
         "\n"
         "Exit status: 0 after a complete run; 1 on any failure, with a message on standard\n"
         "error.\n";
    return s;
}

int fail(const std::string& what) {
    std::fprintf(stderr, "chunksieve: %s\n", what.c_str());
    return 1;
}

std::string terminal_refused(const char* what) {
    return std::string("standard output is a terminal: send ") + what +
           " to a file or a pipe, or give --force to write it there";
}

std::string input_name(const char* path) {
    return is_standard(path) ? "standard input" : quoted(path);
}

std::string output_name(const char* path) {
    return is_standard(path) ? "standard output" : quoted(path);
}

std::string quoted(const char* path) {
    std::string s = "'";
    for (const char* p = path; *p; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        s += c < 0x20 || c == 0x7F ? '?' : char(c);
    }
    return s + "'";
}

}  // namespace chunksieve
