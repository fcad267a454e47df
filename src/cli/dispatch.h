#pragma once

#include <ostream>

#include "cli/options.h"

namespace rempar {

// Runs the one operation the command line selected; returns the exit status:
// 0 when it succeeded (warnings included), 2 when it reported an error.
int dispatch(const Options& options, const std::string& file, std::ostream& out);

// The whole program: scan, dispatch, exit status (1 for command-line errors).
// Messages go to `out`, or to `err` when the container goes to standard
// output, so that it goes down a pipe byte for byte.
int run_program(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace rempar
