// The command-line front end: two arguments in, one exit code out.
#pragma once

#include <string>
#include <vector>

namespace pbo {

// Runs the tool on its arguments (without the program name) and returns the exit code:
//   0  the run completed;
//   1  not exactly two arguments, a mode switch whose second character is neither x nor a
//      (in any case), or an error that no mode handles (reported as one line on standard
//      error, the only output the tool makes unless PBO_VERBOSE is set);
//   2  extract: the path is not an existing file named *.pbo (any case); archive: the path
//      is not an existing folder or ends in a separator, or the archive cannot be written;
//   3  extract: at least one entry failed; every entry was still attempted.
// Nothing is touched before the arguments have been checked. The environment is read once,
// here: PBO_THREADS=N sets the worker threads (default: the machine's hardware threads),
// PBO_VERBOSE=1 writes one "pbo: " line on standard error for each thing that decided the
// exit code. Neither changes the archive, the files written or the exit code.
int Run(const std::vector<std::string>& arguments);

}  // namespace pbo
