// chunksieve --expand --map MAP [--link-map LMAP (--link-out LOUT | --link-in LIN)]... OUT RESTORED
#pragma once

#include "command/command_line.h"

namespace chunksieve {

// The whole of an expand: its files, its messages and its exit status.
int run_expand(const CommandLine& cl);

}  // namespace chunksieve
