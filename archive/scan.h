// The folder scan of archive mode. Internal to the archive subsystem (and its tests).
#pragma once

#include <string>
#include <vector>

#include "archive/archive.h"

namespace pbo {

// Orders the names of one folder: bytes compared with a-z taken as A-Z, ties broken by the
// raw bytes, so that the same folder gives the same archive on every system.
bool ComesBefore(const std::string& left, const std::string& right);

// True for a file that archive creation stores unchanged: its extension, upper-cased, is
// .OGG, .BIN, .WSS or .JPG. Every other file is compressed.
bool IsStoredByExtension(const std::string& fileName);

// Appends to run.EntryTable one record per file in the folder run.SourceFolder (prefix
// empty) or run.SourceFolder + separator + prefix, and below it, depth first, each folder's
// names in ComesBefore order. Names that begin with "." are passed over, files and folders
// alike; so are entries that are neither files nor folders (FIFOs, sockets, devices). A
// link to a folder is walked unless that folder is already being walked further up the
// path. A folder that is gone, too deep for a whole path, or a link in a circle contributes
// nothing; one that cannot be listed otherwise (access refused, an I/O error), or whose
// listing fails part way, throws FatalError ("Cannot list folder ..."). Where the system's
// separator is not "\", a file or folder whose name holds "\" throws FatalError
// ("Cannot pack ...: its name holds a backslash ...").
void ScanSourceFolder(RunState& run, const std::string& prefix);

}  // namespace pbo
