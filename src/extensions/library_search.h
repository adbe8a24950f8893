// Finding an extension's library: the candidate files built from the typed name, where each is
// looked for and in what order, which failure tells the user most, and the lines that explain a
// failed load (every candidate, a library of the wrong kind, a name the user most likely meant).
// Portable: the system is reached through LibrarySystem, which tests replace by a fake.
#ifndef INVOKEMODULE_EXTENSIONS_LIBRARY_SEARCH_H_
#define INVOKEMODULE_EXTENSIONS_LIBRARY_SEARCH_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dynamic_library.h"

// What the search needs of the system: the loader and a look at the files.
class LibrarySystem {
 public:
  virtual ~LibrarySystem() = default;
  virtual void* open(const std::string& path, platform::LibraryOpenFailure* failure) = 0;
  virtual bool exists(const std::string& path) = 0;
  // Up to `size` bytes from the start of the file; empty when it cannot be read.
  virtual std::string readStart(const std::string& path, std::size_t size) = 0;
  virtual std::vector<std::string> folderEntries(const std::string& folder) = 0;
};

// The real loader and file system.
LibrarySystem& systemLibraries();

// How the platform names and finds extension libraries.
struct SearchPolicy {
  std::vector<std::string> suffixes;  // appended to the typed name, tried in this order
  bool localFoldersFirst = false;     // a bare name: "./name", the executable's folder, then the system
  std::string executableDirectory;
  std::string separators = "/";
  bool peLibraries = false;  // the host loads PE files (Windows), else ELF files
  bool caseSensitiveNames = true;
  bool host64 = true;

  static SearchPolicy ofPlatform();
};

// One candidate file the loader was asked for, and where.
struct LoadAttempt {
  std::string file;    // the typed name with a suffix
  std::string folder;  // "." for the current folder, a folder, or empty for the system's search
  std::string path;    // what the loader was given
  platform::LibraryOpenFailure failure;
};

struct LibrarySearch {
  void* library = nullptr;            // the library that loaded, or null
  std::string file;                   // the candidate that loaded, as built from the typed name
  std::string path;                   // the path it loaded from
  std::vector<LoadAttempt> attempts;  // every candidate the loader was asked for, in order

  // The failure to report: the first file that was there but would not load, else the first
  // attempt. Null when nothing was tried.
  const LoadAttempt* mostTelling() const;
};

// Tries every candidate for `typedName` in the policy's order; the first that loads wins.
LibrarySearch searchLibrary(std::string_view typedName, const SearchPolicy& policy, LibrarySystem& system);

// The lines that follow the first line (and the loader's reason) of a failed load: one per
// candidate, then what a wrong-kind file is, then at most one hint.
std::vector<std::string> loadFailureDetails(std::string_view typedName, const LibrarySearch& search,
                                            const SearchPolicy& policy, LibrarySystem& system);

// What a library file's first bytes say it is.
struct LibraryFileKind {
  enum Format { Unknown, Elf, Pe } format = Unknown;
  int bits = 0;  // 32 or 64; 0 when not known
};
LibraryFileKind libraryFileKind(std::string_view head);

// The length a library file must have at least, as its headers in `head` (its first bytes)
// describe its parts; 0 when they cannot be read. A shorter file is one still being written.
std::uint64_t libraryFileLength(std::string_view head);

#endif  // INVOKEMODULE_EXTENSIONS_LIBRARY_SEARCH_H_
