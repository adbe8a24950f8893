// Dynamic-library primitives: open a library file, find an export, close it, and the
// platform's naming facts for extension libraries.
//
// Implementations live in dynamic_library-posix.cc and dynamic_library-win32.cc.
#ifndef INVOKEMODULE_PLATFORM_DYNAMIC_LIBRARY_H_
#define INVOKEMODULE_PLATFORM_DYNAMIC_LIBRARY_H_

#include <cstdint>
#include <span>
#include <string>

namespace platform {

// Why one attempt to open a library failed.
struct LibraryOpenFailure {
  std::uint32_t errorCode = 0;  // the system's error code for the attempt
  std::string reason;           // the loader's own explanation; empty where it gives none
  bool fileFound = false;       // a file was there but could not be loaded
};

// Opens the library `fileName` with the platform's search for extension libraries and with
// every dependency bound at once. Returns the library, or null with `failure` filled in
// (the most telling attempt when the search tried several places).
void* openLibrary(const std::string& fileName, LibraryOpenFailure* failure);

// Address of the export `name`, or null when the library does not export it.
void* findLibrarySymbol(void* library, const char* name);

// Releases one reference to a library returned by openLibrary.
void closeLibrary(void* library);

// The suffixes appended to an extension's name to form the file names to try, in order.
std::span<const char* const> libraryFileSuffixes();

// True where an extension's exports are found only under their stdcall-decorated names
// (32-bit Windows); elsewhere the undecorated name is tried after the decorated one.
bool onlyDecoratedExportNames();

// True where a failed load comes with a loader explanation worth showing to the user.
bool loaderGivesFailureReason();

// Directory holding the running executable, without a trailing separator; empty if unknown.
std::string executableDirectory();

}  // namespace platform

#endif  // INVOKEMODULE_PLATFORM_DYNAMIC_LIBRARY_H_
