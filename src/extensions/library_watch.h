// --watch: extensions are loaded from private copies of their files, made in a folder of the
// process's own, so that the author's build can replace a file at any time; a changed file is
// picked up before the next call.
#ifndef INVOKEMODULE_EXTENSIONS_LIBRARY_WATCH_H_
#define INVOKEMODULE_EXTENSIONS_LIBRARY_WATCH_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "extensions/library_search.h"
#include "platform/file_copies.h"

// The state of --watch, one in the registry.
struct LibraryWatch {
  bool enabled = false;  // set once at start-up by enableLibraryWatch(); read before each call
  std::string folder;    // the process's private folder, once named
  bool folderMade = false;
  unsigned copies = 0;  // the copies made, each in a folder of its own
};

// Turns private copies on and removes the folders left by processes that no longer run.
void enableLibraryWatch();

// The id of the process whose private folder `entryName` (an entry of the temporary folder)
// names, or 0 when it names none.
std::uint32_t privateFolderOwner(std::string_view entryName);

// A fresh private copy of `original`, under its own file name in a folder of its own: its
// path, or empty with the system's error code in `error`.
std::string makePrivateCopy(const std::string& original, std::uint32_t* error);

// Removes a private copy and its folder (what is still loaded on Windows stays).
void discardPrivateCopy(const std::string& copy);

// Removes the process's private folder and everything in it. Called at every end of the
// session; harmless when there is none.
void removePrivateCopies();

// The folder part of `path` ("." when it has none).
std::string folderOf(const std::string& path);

// Waits until the size and the write time of the file at `path` have held for 200 ms (at most 5 s; a file
// last written 200 ms ago or earlier has held) and answers its stamp then.
platform::FileStamp settledStamp(const std::string& path);

// The loader for searchLibrary under --watch: each file the search opens is copied and the
// copy opened; failures name the original. Names the system searches for are resolved first
// where the host can (else the file itself is opened, as without --watch).
class PrivateCopyLibraries final : public LibrarySystem {
 public:
  void* open(const std::string& path, platform::LibraryOpenFailure* failure) override;
  bool exists(const std::string& path) override { return systemLibraries().exists(path); }
  std::string readStart(const std::string& path, std::size_t size) override {
    return systemLibraries().readStart(path, size);
  }
  std::vector<std::string> folderEntries(const std::string& folder) override {
    return systemLibraries().folderEntries(folder);
  }

  // Of the last file that opened: the original's path and stamp, and the copy (empty when
  // the file itself was opened).
  std::string original;
  std::string copy;
  platform::FileStamp stamp;
};

// Opens a private copy of `original`; on failure `failure` names the original, not the copy.
void* openPrivateCopy(const std::string& original, std::string* copy, platform::LibraryOpenFailure* failure);

#endif  // INVOKEMODULE_EXTENSIONS_LIBRARY_WATCH_H_
