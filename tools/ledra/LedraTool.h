// The command line of `ledra`, the table utility: parses the arguments, runs
// one command and turns every failure into a message and an exit code.
//
// Exit codes: 0 done; 1 done with something to report (verify findings, a
// key not found, rows an import skipped); 2 not done (bad arguments, a table
// that cannot be opened, an engine error, whose full message is printed).
#pragma once

#include <istream>
#include <ostream>

namespace ledra::tool {

// Runs the command of argv; `in` is standard input for `import ... -`.
int RunLedraTool(int argc, const char* const* argv, std::istream& in, std::ostream& out,
                 std::ostream& err);

}  // namespace ledra::tool
