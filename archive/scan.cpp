#include "archive/scan.h"

#include <algorithm>

#include "platform/platform.h"

namespace pbo {
namespace {

struct FolderWalk {
  RunState& run;
  // Identities of the folders on the current path from SourceFolder down, to pass over a
  // link that leads back into one of them.
  std::vector<std::string> openFolders;
};

// Ends the run for a file or folder whose name holds "\", the separator of names inside
// an archive: "a\b.txt" would pack as the file b.txt in the folder a, which may be there
// too, and extract as that. On Windows no name holds "\" (but a byte of a double-byte
// character may be 0x5C), so only a system whose separator is another sees this.
void RequireNameWithoutBackslash(const std::string& name, const std::string& path) {
  if (platform::kSeparator == '\\' || name.find('\\') == std::string::npos) return;
  throw FatalError("Cannot pack \"" + platform::AbsolutePath(path) +
                   "\": its name holds a backslash, the separator of names inside an archive");
}

// Scans the folder at `folder` on disk, whose names inside the archive begin with prefix.
void ScanFolder(FolderWalk& walk, const std::string& prefix, const std::string& folder) {
  const std::string identity = platform::FolderIdentity(folder);
  if (!identity.empty() && std::find(walk.openFolders.begin(), walk.openFolders.end(), identity) !=
                               walk.openFolders.end()) {
    return;
  }
  std::vector<platform::FolderItem> items;
  std::string error;
  switch (platform::ListFolder(folder, items, error)) {
    case platform::Listing::Complete:
      break;
    case platform::Listing::NotStarted:
      return;
    case platform::Listing::Broken:
      // Packing what was listed, or nothing, would drop files without a word.
      throw FatalError("Cannot list folder \"" + platform::AbsolutePath(folder) + "\". " + error);
  }
  std::sort(items.begin(), items.end(),
            [](const platform::FolderItem& a, const platform::FolderItem& b) {
              return ComesBefore(a.Name, b.Name);
            });

  walk.openFolders.push_back(identity);
  for (const platform::FolderItem& item : items) {
    if (item.Name.empty() || item.Name[0] == '.') continue;
    const std::string relativeName = prefix.empty() ? item.Name : prefix + '\\' + item.Name;
    const std::string path = folder + platform::kSeparator + item.Name;
    if (item.Kind != platform::PathKind::Other) RequireNameWithoutBackslash(item.Name, path);
    if (item.Kind == platform::PathKind::Folder) {
      ScanFolder(walk, relativeName, path);
    } else if (item.Kind != platform::PathKind::Other) {
      // A file, or a link whose target is gone: the latter fails when it is opened.
      TFileHeaders record;
      record.RelativeName = relativeName;
      record.FullPath = path;
      record.PackingMethod = IsStoredByExtension(item.Name) ? 0 : kCompressedMethod;
      walk.run.EntryTable.push_back(std::move(record));
    }
  }
  walk.openFolders.pop_back();
}

}  // namespace

bool ComesBefore(const std::string& left, const std::string& right) {
  const std::size_t common = std::min(left.size(), right.size());
  for (std::size_t i = 0; i < common; ++i) {
    const auto a = static_cast<unsigned char>(platform::UpperCaseAscii(left[i]));
    const auto b = static_cast<unsigned char>(platform::UpperCaseAscii(right[i]));
    if (a != b) return a < b;
  }
  if (left.size() != right.size()) return left.size() < right.size();
  // Raw bytes, unsigned, break the tie between names that differ only in letter case.
  return std::lexicographical_compare(
      left.begin(), left.end(), right.begin(), right.end(),
      [](char a, char b) { return static_cast<unsigned char>(a) < static_cast<unsigned char>(b); });
}

bool IsStoredByExtension(const std::string& fileName) {
  const std::string extension = platform::UpperCaseAscii(platform::ExtensionOf(fileName));
  return extension == ".OGG" || extension == ".BIN" || extension == ".WSS" || extension == ".JPG";
}

void ScanSourceFolder(RunState& run, const std::string& prefix) {
  FolderWalk walk{run, {}};
  std::string folder = run.SourceFolder;
  if (!prefix.empty()) {
    std::string diskPrefix = prefix;
    for (char& c : diskPrefix) {
      if (c == '\\') c = platform::kSeparator;
    }
    folder += platform::kSeparator + diskPrefix;
  }
  ScanFolder(walk, prefix, folder);
}

}  // namespace pbo
