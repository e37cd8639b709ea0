#include "archive/output.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace pbo {

namespace {

// The parts of an entry name (folders joined by "\") that name folders and the file, with
// ".." resolved as a joined path resolves on a system of drive letters and backslashes:
// ".." takes away the part before it, and "." and empty parts name nothing. False when a
// ".." finds nothing left to take away, which would climb out of the output folder, or a
// part is unsafe on this platform (on Windows a drive, a stream or a device). The same
// rule holds on every system, so that an archive gives the same files everywhere.
bool ResolveEntryName(const std::string& relativeName, std::vector<std::string>& parts) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = relativeName.find('\\', start);
    std::string part = relativeName.substr(start, end - start);
    if (part == "..") {
      if (parts.empty()) return false;
      parts.pop_back();
    } else if (!platform::IsSafeNamePart(part)) {
      return false;
    } else if (!part.empty() && part != ".") {
      parts.push_back(std::move(part));
    }
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

// True for a name whose parts are all plain: none empty, none beginning with "." (so none
// is "." or ".."). Such a name, the common one, resolves to itself.
bool IsPlainName(const std::string& name) {
  char before = '\\';
  for (const char c : name) {
    if (before == '\\' && (c == '\\' || c == '.')) return false;
    before = c;
  }
  return before != '\\';
}

// EntryPathOnDisk into path, whose buffer is reused.
void JoinEntryPath(const std::string& outputFolder, const std::string& relativeName,
                   std::string& path) {
  path.assign(outputFolder);  // ends in a separator
  if (IsPlainName(relativeName)) {  // no parts to resolve: only the separators change
    path += relativeName;
    std::replace(path.begin() + static_cast<std::ptrdiff_t>(outputFolder.size()), path.end(), '\\',
                 platform::kSeparator);
    return;
  }
  std::vector<std::string> parts;
  ResolveEntryName(relativeName, parts);
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) path += platform::kSeparator;
    path += parts[i];
  }
  // A name that ends in "\" names a folder, not a file: its file cannot be written.
  if (!parts.empty() && !relativeName.empty() && relativeName.back() == '\\') {
    path += platform::kSeparator;
  }
}

}  // namespace

bool IsSafeEntryName(const std::string& relativeName) {
  std::vector<std::string> parts;
  return ResolveEntryName(relativeName, parts);
}

std::string EntryPathOnDisk(const std::string& outputFolder, const std::string& relativeName) {
  std::string path;
  JoinEntryPath(outputFolder, relativeName, path);
  return path;
}

void ForceFolders(const std::string& folder) {
  // Climb to the innermost folder that exists, then create the rest on the way back down.
  // Every step makes the path strictly shorter, so the climb ends on any path.
  std::vector<std::string> missing;
  std::string path = folder;
  while (!path.empty()) {
    if (path.back() == platform::kSeparator) path.pop_back();
    if (path.empty() || platform::KindOf(path) == platform::PathKind::Folder) break;
    missing.push_back(path);
    const std::size_t parentLength = platform::FolderPartLength(path);
    if (parentLength >= path.size()) break;  // a bare drive such as "D:"
    path.resize(parentLength);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) platform::CreateFolder(*it);
}

namespace {

// True when folder is a real folder, not a link to one; otherwise error says what is there.
bool IsRealFolder(const std::string& folder, std::string& error) {
  if (platform::IsLink(folder)) {
    error = "\"" + folder + "\" is a symbolic link";
    return false;
  }
  if (platform::KindOf(folder) != platform::PathKind::Folder) {
    error = "the folder \"" + folder + "\" cannot be made";
    return false;
  }
  return true;
}

}  // namespace

OutputWriter::OutputWriter(std::string outputFolder) : outputFolder_(std::move(outputFolder)) {}

bool OutputWriter::PrepareFolders(const std::string& fullPath, bool& madeHere,
                                  std::string& error) {
  // The output folder itself: made when missing, refused when it is a link.
  std::string root = outputFolder_;
  if (root.size() > 1 && root.back() == platform::kSeparator) root.pop_back();
  if (folders_.count(root) == 0) {
    const bool missing = platform::KindOf(root) != platform::PathKind::Folder;
    if (missing) ForceFolders(root);
    if (!IsRealFolder(root, error)) return false;
    folders_.emplace(root, missing);
  }
  // Folders are verified outermost first, so when the file's own folder is verified, so
  // is every folder above it: many entries in one deep folder cost one lookup each, not
  // one per level.
  const std::size_t ownFolderEnd = fullPath.rfind(platform::kSeparator);
  const std::string ownFolder =
      ownFolderEnd != std::string::npos && ownFolderEnd >= outputFolder_.size()
          ? fullPath.substr(0, ownFolderEnd)
          : root;
  if (const auto known = folders_.find(ownFolder); known != folders_.end()) {
    madeHere = known->second;
    return true;
  }
  // Each folder below it on the way down to the file, outermost first.
  for (std::size_t separator = fullPath.find(platform::kSeparator, outputFolder_.size());
       separator != std::string::npos;
       separator = fullPath.find(platform::kSeparator, separator + 1)) {
    std::string folder = fullPath.substr(0, separator);
    if (folders_.count(folder) != 0) continue;
    // A folder just made is a real folder; only one that was there already can be a link.
    // Making it first costs a new folder one call, where each call on a deep path pays for
    // every level of it.
    const bool made = platform::CreateFolder(folder);
    if (!made && !IsRealFolder(folder, error)) return false;
    folders_.emplace(std::move(folder), made);
  }
  madeHere = folders_[ownFolder];
  return true;
}

bool OutputWriter::Create(const std::string& fullPath, platform::WholeFile& file,
                          std::string& error) {
  bool madeHere = false;
  return PrepareFolders(fullPath, madeHere, error) && file.Create(fullPath, error, madeHere);
}

bool OutputWriter::Write(const std::string& fullPath, const std::uint8_t* data, std::size_t size,
                         std::string& error) {
  platform::WholeFile file;
  return Create(fullPath, file, error) && file.Append(data, size, error) && file.Commit(error);
}

OutputModel::OutputModel(std::string outputFolder) : outputFolder_(std::move(outputFolder)) {}

void OutputModel::Expect(const std::string& relativeName) {
  JoinEntryPath(outputFolder_, relativeName, path_);
  // Each folder goes in with every folder above it, so the walk up ends at the first one
  // already there: a million entries in one folder cost a lookup each.
  for (std::size_t end = path_.rfind(platform::kSeparator);
       end != std::string::npos && end >= outputFolder_.size();
       end = path_.rfind(platform::kSeparator, end - 1)) {
    folder_.assign(path_, 0, end);
    if (!expectedFolders_.insert(folder_).second) break;
  }
}

bool OutputModel::Write(const std::string& relativeName, std::string& error) {
  JoinEntryPath(outputFolder_, relativeName, path_);
  const std::string& fullPath = path_;
  // As in OutputWriter, the folders are made outermost first, and each stays made when a
  // folder or the file below it fails.
  const std::size_t ownFolderEnd = fullPath.rfind(platform::kSeparator);
  if (ownFolderEnd != std::string::npos && ownFolderEnd >= outputFolder_.size() &&
      folders_.count(folder_.assign(fullPath, 0, ownFolderEnd)) == 0) {
    for (std::size_t separator = fullPath.find(platform::kSeparator, outputFolder_.size());
         separator != std::string::npos;
         separator = fullPath.find(platform::kSeparator, separator + 1)) {
      folder_.assign(fullPath, 0, separator);
      if (files_.count(folder_) != 0) {
        error = "the folder \"" + folder_ + "\" cannot be made";
        return false;
      }
      folders_.insert(folder_);
    }
  }
  // The output folder itself, a path that ends in a separator (a name that ends in "\\")
  // and a folder made before name folders.
  if (fullPath.size() == outputFolder_.size() || fullPath.back() == platform::kSeparator ||
      folders_.count(fullPath) != 0) {
    error = std::strerror(EISDIR);
    return false;
  }
  if (expectedFolders_.count(fullPath) != 0) files_.insert(fullPath);
  return true;
}

}  // namespace pbo
