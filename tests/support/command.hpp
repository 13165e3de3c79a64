#pragma once
// Shell commands run from a test, their output kept.
#include <string>

namespace vekt::testing {

struct CommandResult {
  int status = -1;     // exit status, or -1 when the command did not exit normally
  std::string output;  // what it printed (see Capture)
};

enum class Capture {
  OutAndErr,  // standard output and standard error together, as a terminal shows them
  OutOnly,    // standard output only (for output that is parsed); standard error stays the test's
};

// Runs `cmd` with /bin/sh and waits for it to end.
CommandResult run_command(const std::string& cmd, Capture capture = Capture::OutAndErr);

// `s` quoted for the shell as one word.
std::string sh_quote(const std::string& s);

}  // namespace vekt::testing
