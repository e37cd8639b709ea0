// Makes symbolic links to files, for the tests of the rule that nothing is ever written
// through one.
#pragma once

#include <filesystem>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <fstream>
#include <string>
#endif

namespace pbo::testing {

#ifdef _WIN32
namespace detail {

// Under Wine, the Linux path of a Windows one, or "" elsewhere.
inline std::string UnixPath(const std::filesystem::path& path) {
  using UnixName = char*(CDECL*)(const wchar_t*);
  // Through void*: the cast from FARPROC itself draws a warning.
  const auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
  if (unixName == nullptr) return std::string();
  char* name = unixName(path.wstring().c_str());
  if (name == nullptr) return std::string();
  std::string result = name;
  HeapFree(GetProcessHeap(), 0, name);
  return result;
}

}  // namespace detail
#endif

// Makes link a symbolic link to the file target, which need not exist. False when this
// system lets the test make none (Windows without the privilege). Wine's own call only
// pretends, so there the link is made by the Linux `ln`, which Wine starts like any program
// but gives no handle to wait on: the link is waited for until it shows. Wine shows a link
// to a file as that file and a dangling link not at all, so a dangling one is made to a
// stand-in target that is removed once the link shows.
inline bool MakeFileLink(const std::filesystem::path& target, const std::filesystem::path& link) {
#ifdef _WIN32
  const std::string unixFolder = detail::UnixPath(target.parent_path());
  const std::string unixLinkFolder = detail::UnixPath(link.parent_path());
  if (unixFolder.empty() || unixLinkFolder.empty()) {
    constexpr DWORD kUnprivileged = 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
    return CreateSymbolicLinkW(link.wstring().c_str(), target.wstring().c_str(), kUnprivileged);
  }
  const bool dangling = !std::filesystem::exists(target);
  if (dangling) std::ofstream(target).close();
  // Wine splits a Linux program's command line at the spaces (the test paths hold none).
  std::wstring commandLine =
      L"Z:\\bin\\ln -s " + std::filesystem::path(unixFolder + "/").wstring() +
      target.filename().wstring() + L" " + std::filesystem::path(unixLinkFolder + "/").wstring() +
      link.filename().wstring();
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  bool shown = false;
  if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                     &startup, &process)) {
    for (int attempt = 0; attempt < 1000 && !shown; ++attempt) {
      shown = GetFileAttributesW(link.wstring().c_str()) != INVALID_FILE_ATTRIBUTES;
      if (!shown) Sleep(10);
    }
  }
  if (dangling) std::filesystem::remove(target);
  return shown;
#else
  std::error_code error;
  std::filesystem::create_symlink(target, link, error);
  return !error;
#endif
}

}  // namespace pbo::testing
