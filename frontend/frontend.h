// The command-line front end: the arguments in, one exit code out.
#pragma once

#include <string>
#include <vector>

namespace pbo {

// Runs the tool on its arguments (without the program name) and returns the exit code.
// The calls:
//   -x ARCHIVE.pbo  extract every entry into the folder beside the archive named after it;
//   -t ARCHIVE.pbo  the same, but no folder is made and no file written: a test;
//   -l ARCHIVE.pbo  list the entries on standard output;
//   -a FOLDER       pack the folder into FOLDER.pbo beside it;
//   --help, -h, -?  print the usage on standard output; --version prints "pbo VERSION".
// Only the switch's second character counts, in any case. The exit codes:
//   0  the run completed;
//   1  another number of arguments, another switch, or an error that no mode handles
//      (reported as one line on standard error);
//   2  -x, -t, -l: the path is not an existing file named *.pbo (any case); -a: the path
//      is not an existing folder or ends in a separator, or the archive cannot be written;
//   3  -x, -t: at least one entry failed, every entry still attempted; -l: some entry's
//      block runs past the end of the archive.
// Nothing is touched before the arguments have been checked. The environment is read once,
// here: PBO_THREADS=N sets the worker threads (default: the machine's hardware threads),
// PBO_VERBOSE=1 writes one "pbo: " line on standard error for each thing that decided the
// exit code. When standard error is a terminal and PBO_VERBOSE is not set, a run that ends
// with 1 for a bad call, 2 or 3 says why in one such line; and a run of -x, -t or -a that
// lasts over a second shows a progress line there, erased when it ends. None of this
// changes the archive, the files written or the exit code, and with standard error not a
// terminal, -x and -a print nothing but the one line of an error that ends the run.
int Run(const std::vector<std::string>& arguments);

}  // namespace pbo
