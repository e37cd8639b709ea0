// Where extracted entries land on disk, and how they are written there. Internal to the
// archive subsystem (and its tests).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "platform/platform.h"

namespace pbo {

// True when an entry name (folders joined by "\") stays inside the output folder: its
// ".." parts, resolved as text (each takes away the part before it; "." and empty parts
// name nothing), never climb above it, and no part is unsafe on this platform (on Windows
// a drive, a stream or a device). "a\..\b.txt" and "\b.txt" are safe and land where
// "b.txt" does; "a\..\..\b.txt" is not.
bool IsSafeEntryName(const std::string& relativeName);

// The path on disk of an entry with a safe name: outputFolder followed by the name's parts
// as IsSafeEntryName resolves them, joined by the platform's separator, so that no ".."
// reaches the disk and the path always begins with outputFolder ("maps\island\..\a.txt"
// lands at outputFolder + "maps/a.txt"). A name that ends in "\" keeps a separator at
// its end, so that its file fails.
std::string EntryPathOnDisk(const std::string& outputFolder, const std::string& relativeName);

// Creates folder and every missing folder above it, outermost first. Failures are not
// reported: the file creation that follows fails and is counted there. Ends on any path.
void ForceFolders(const std::string& folder);

// Writes entries' files below one output folder, never through a symbolic link: not when
// the output folder itself is a link, not when a folder on the way down is one (made there
// earlier, or by another entry), not when the file's own path is one.
class OutputWriter {
 public:
  explicit OutputWriter(std::string outputFolder);

  // Creates the folders above fullPath (which must lie below the output folder) and starts
  // file, which appears at fullPath only once it is whole (see platform::WholeFile), for
  // content written in pieces. Returns false, with the reason in error, when the folders or
  // the file cannot be made.
  bool Create(const std::string& fullPath, platform::WholeFile& file, std::string& error);

  // Create, then the file with size bytes. Returns false, with the reason in error, when
  // the file is not written; nothing is then left under fullPath's name that was not there.
  bool Write(const std::string& fullPath, const std::uint8_t* data, std::size_t size,
             std::string& error);

 private:
  // Makes and checks the folders above fullPath; false, with the reason in error, when one
  // cannot be made or is a link. madeHere tells whether this run made fullPath's folder.
  bool PrepareFolders(const std::string& fullPath, bool& madeHere, std::string& error);

  std::string outputFolder_;
  // Folders below the output folder already found to be real folders, each with whether
  // this run made it; extraction makes no links, so they stay that way for the run.
  std::unordered_map<std::string, bool> folders_;
};

// The output folder of a test run, which writes nothing: the folders and files that an
// OutputWriter would make in a fresh output folder, so that a test fails an entry's file
// exactly where the extraction would (a name that ends in "\" or names the output folder
// itself, a file where an earlier entry made a folder, a folder where an earlier entry
// wrote a file).
class OutputModel {
 public:
  explicit OutputModel(std::string outputFolder);

  // Tells the model that an entry of the run is named relativeName. Called for every entry
  // before the first Write, so that the model remembers a written file's path only when
  // some entry may need a folder there: a million entries in a few folders cost a few
  // paths, not a million.
  void Expect(const std::string& relativeName);

  // What OutputWriter::Write would do with the file of the entry named relativeName (a
  // safe name) in a fresh output folder: false, with the reason in error, when the file or
  // a folder above it could not be made.
  bool Write(const std::string& relativeName, std::string& error);

 private:
  std::string outputFolder_;
  std::unordered_set<std::string> expectedFolders_;  // every folder some file may need
  std::unordered_set<std::string> folders_;          // the folders made so far
  std::unordered_set<std::string> files_;  // the files written so far that are expected folders
  std::string path_, folder_;              // buffers, reused
};

}  // namespace pbo
