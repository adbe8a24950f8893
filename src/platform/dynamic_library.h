// Dynamic-library primitives: open one library, find an export, close it, the loader's error
// text, and the platform's naming facts for extension libraries. Which files to try and in
// what order is decided by the portable search (extensions/library_search.h).
//
// Implementations live in dynamic_library-posix.cc and dynamic_library-win32.cc.
#ifndef INVOKEMODULE_PLATFORM_DYNAMIC_LIBRARY_H_
#define INVOKEMODULE_PLATFORM_DYNAMIC_LIBRARY_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace platform {

// Why one attempt to open a library failed.
struct LibraryOpenFailure {
  std::uint32_t errorCode = 0;  // the system's error code for the attempt
  std::string reason;           // the loader's own explanation; empty where it gives none
  bool fileFound = false;       // a file was there but could not be loaded
};

// Opens `path` with every dependency bound at once: exactly that file when it holds a directory
// part, else by the system loader's own search. Returns the library, or null with `failure`
// filled in.
void* openLibrary(const std::string& path, LibraryOpenFailure* failure);

// Opens a private copy of a library as openLibrary opens a path. Where the platform lets the
// host choose (Windows), the libraries it depends on are also looked for in `originalFolder`,
// the folder of the file it was copied from.
void* openLibraryCopy(const std::string& copyPath, const std::string& originalFolder,
                      LibraryOpenFailure* failure);

// True when the library that was loaded from `path` is still in memory although its last
// reference was released (the system keeps some libraries until the process ends).
bool libraryStillLoaded(const std::string& path);

// The file the system's own search would load for a bare file name, where the host can tell
// without loading it; empty otherwise.
std::string systemSearchResult(const std::string& file);

// The loader's error code for a file that is not a library of the host's kind.
std::uint32_t badFormatErrorCode();

// Address of the export `name`, or null when the library does not export it.
void* findLibrarySymbol(void* library, const char* name);

// The path of the loaded library whose definition `name` binds to when looked up in `library`,
// where that is another library than `library` itself (the system binds every GNU unique
// symbol to the first loaded library that defined it); empty when it is the library's own, when
// `library` has no such symbol, or where the system does not say.
std::string libraryBindingSymbol(void* library, const char* name);

// Releases one reference to a library returned by openLibrary.
void closeLibrary(void* library);

// Where the loaded library's image starts in memory, when the platform's export table is read
// from the image (Windows); null elsewhere, where it is read from the file.
const void* libraryImageBase(void* library);

// The address a loaded library's frames count their offsets from (the start of its mapping,
// its image base on Windows).
std::uintptr_t libraryLoadBase(void* library);

// The path of the file a loaded library was mapped from; empty when the system does not say.
std::string loadedLibraryPath(void* library);

// The system's text for an error code of the loader, without a line end.
std::string loaderErrorText(std::uint32_t code);

// Owns one reference to a loaded library and releases it when destroyed. Move-only.
class LoadedLibrary {
 public:
  LoadedLibrary() = default;
  explicit LoadedLibrary(void* library) : library_(library) {}
  LoadedLibrary(LoadedLibrary&& other) noexcept : library_(other.library_) { other.library_ = nullptr; }
  LoadedLibrary& operator=(LoadedLibrary&& other) noexcept {
    if (this != &other) {
      reset();
      library_ = other.library_;
      other.library_ = nullptr;
    }
    return *this;
  }
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;
  ~LoadedLibrary() { reset(); }

  void* get() const { return library_; }
  bool operator==(std::nullptr_t) const { return library_ == nullptr; }
  // Gives the library up without closing it: it stays loaded for the rest of the process.
  void* release() {
    void* library = library_;
    library_ = nullptr;
    return library;
  }
  // Closes the library now (no-op when empty).
  void reset() {
    if (library_ != nullptr) closeLibrary(library_);
    library_ = nullptr;
  }

 private:
  void* library_ = nullptr;
};

// The suffixes appended to an extension's name to form the file names to try, in order.
std::span<const char* const> libraryFileSuffixes();

// True where the host itself looks for a bare library name in the current folder and the
// executable's folder before the system's search (POSIX, whose loader looks in neither);
// false where the system loader's own search covers them (Windows).
bool searchesLocalFoldersFirst();

// The characters that separate folders in a path.
const char* pathSeparators();

// True where extension libraries are PE files (Windows); false where they are ELF files.
bool librariesArePeFiles();

// True where file names differ by letter case alone (POSIX file systems).
bool fileNamesAreCaseSensitive();

// The loader's error code for a name it cannot take (one holding a NUL byte).
std::uint32_t invalidNameErrorCode();

// True where an extension's exports are found only under their stdcall-decorated names
// (32-bit Windows); elsewhere the undecorated name is tried after the decorated one.
bool onlyDecoratedExportNames();

// True where a failed load comes with a loader explanation worth showing to the user.
bool loaderGivesFailureReason();

// True when a file (of any kind) exists at `path`.
bool fileExists(const std::string& path);

// The names in `folder` (no "." or ".."); empty when it cannot be read.
std::vector<std::string> folderEntries(const std::string& folder);

// Directory holding the running executable, without a trailing separator; empty if unknown.
std::string executableDirectory();

}  // namespace platform

#endif  // INVOKEMODULE_PLATFORM_DYNAMIC_LIBRARY_H_
