#include "frontend/frontend.h"
#include "platform/platform.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif
#ifndef _WIN32
#include <csignal>
#endif

#ifdef _WIN32
// The wide command line: the byte-string one would hold best-fit look-alikes of the
// characters the code page cannot hold.
int wmain(int argc, wchar_t** argv) {
  // Ctrl-C, Ctrl-Break and the console's close remove the temporary files in flight first.
  pbo::platform::InstallStopHandlers();
  return pbo::Run(pbo::platform::Arguments(argc, argv));
}
#else
int main(int argc, char** argv) {
  // A write past the file size limit, or to a closed pipe, then fails like any other write
  // and is rated (exit 2 or 3, nothing half-written left behind) where by default the
  // signal would end the process on the spot, a temporary file left beside its target.
  std::signal(SIGXFSZ, SIG_IGN);
  std::signal(SIGPIPE, SIG_IGN);
  // SIGINT, SIGTERM and SIGHUP remove the temporary files in flight, then end the process
  // as they would have.
  pbo::platform::InstallStopHandlers();
#ifdef __GLIBC__
  // glibc hands a freed block of more than 128 KiB back to the system, but raises that
  // threshold to the size of every such block freed, so the blocks of the entries in flight
  // (files, streams, expanded entries of several MB) soon stay in its heaps, scattered, once
  // their entries are written: packing six copies of a 64 MiB folder on two threads then
  // peaked at 104 MB instead of 76 MB. A fixed threshold gives them back at once. Fixing it
  // also fixes the free space a heap keeps at its top, at 128 KiB, which made the smaller
  // blocks fault their pages in afresh for every file (200,000 faults to pack the tree
  // corpus); 2 MiB, what glibc itself would pair with this threshold, keeps them (10,000).
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  mallopt(M_TRIM_THRESHOLD, 2 << 20);
#endif
  return pbo::Run(pbo::platform::Arguments(argc, argv));
}
#endif
