// A folder listing that fails part way, as a failing disk or a network folder can make it
// fail, for the tests of what the tool does then (Linux only). The test executable's own
// readdir takes the place of the C library's, which it calls in turn: while a
// ListingFault is alive, a listing fails with EIO after its first name. Include this in
// one source file of a test executable only: it defines readdir.
#pragma once

#if defined(__linux__)
#include <dirent.h>
#include <dlfcn.h>

#include <cerrno>

namespace pbo::testing {

// Names the armed fault still lets through; negative while it is not armed.
inline int& NamesBeforeListingFault() {
  static int names = -1;
  return names;
}

class ListingFault {
 public:
  ListingFault() { NamesBeforeListingFault() = 1; }
  ~ListingFault() { NamesBeforeListingFault() = -1; }
  ListingFault(const ListingFault&) = delete;
  ListingFault& operator=(const ListingFault&) = delete;
};

}  // namespace pbo::testing

extern "C" dirent* readdir(DIR* folder) {
  using Readdir = dirent* (*)(DIR*);
  static const auto real = reinterpret_cast<Readdir>(::dlsym(RTLD_NEXT, "readdir"));
  dirent* entry = real(folder);
  int& names = pbo::testing::NamesBeforeListingFault();
  if (entry == nullptr || names < 0) return entry;
  const char* name = entry->d_name;
  const bool dots = name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
  if (dots) return entry;
  if (names-- > 0) return entry;
  errno = EIO;
  return nullptr;
}
#endif
