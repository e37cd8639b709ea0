// The text rules of paths and entry names. Both are byte strings handled purely as text:
// nothing here looks at the disk, makes a path absolute or canonical, or transcodes it.
//
// Two kinds of path meet in the tool. A name inside an archive separates its folders with
// "\" on every system, and its folder part ends at its last "\" or ":". A path on disk
// ends its folder part at the platform's separators: "/" on POSIX; "\", "/" and ":" (after
// a drive letter) on Windows.
#pragma once

#include <cstddef>
#include <string>

namespace pbo::platform {

// The separator this platform joins path parts with on disk.
#ifdef _WIN32
inline constexpr char kSeparator = '\\';
#else
inline constexpr char kSeparator = '/';
#endif

// "a" to "z" become "A" to "Z"; every other byte stays as it is (no locale, no code page).
constexpr char UpperCaseAscii(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

inline std::string UpperCaseAscii(std::string text) {
  for (char& c : text) c = UpperCaseAscii(c);
  return text;
}

// True for a character that ends the folder part of a path on disk.
constexpr bool EndsFolderPart(char c) {
#ifdef _WIN32
  return c == '\\' || c == '/' || c == ':';
#else
  return c == '/';
#endif
}

// Length of the folder part of a path on disk: everything up to and including its last
// character that ends a folder part; 0 when it holds none. The file name is what follows.
inline std::size_t FolderPartLength(const std::string& path) {
  for (std::size_t i = path.size(); i > 0; --i) {
    if (EndsFolderPart(path[i - 1])) return i;
  }
  return 0;
}

// The file name of a name inside an archive: everything after its last "\" or ":" (the
// whole name when it holds neither), on every system.
inline std::string EntryFileName(const std::string& name) {
  const std::size_t last = name.find_last_of("\\:");
  return last == std::string::npos ? name : name.substr(last + 1);
}

// The extension of a file name: from its last "." to the end, the dot included; empty when
// the file name holds no ".".
inline std::string ExtensionOf(const std::string& fileName) {
  const std::size_t dot = fileName.find_last_of('.');
  return dot == std::string::npos ? std::string() : fileName.substr(dot);
}

}  // namespace pbo::platform
