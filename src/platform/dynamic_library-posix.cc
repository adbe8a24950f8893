// Dynamic-library primitives on POSIX systems: dlopen with an explicit search order.
#include "platform/dynamic_library.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

namespace {

bool pathExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

// One dlopen attempt. On failure records it in `best` when it tells more than what `best`
// holds already: the first failure counts, and a file that exists but fails to load beats a
// file that was not found.
void* attemptOpen(const std::string& path, bool searchedBySystem, LibraryOpenFailure* best,
                  bool* haveFailure) {
  dlerror();
  errno = 0;
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library != nullptr) return library;
  int error = errno;
  const char* text = dlerror();

  LibraryOpenFailure failure;
  failure.fileFound = searchedBySystem ? (error != 0 && error != ENOENT) : pathExists(path);
  if (error != 0) {
    failure.errorCode = static_cast<std::uint32_t>(error);
  } else {
    failure.errorCode = failure.fileFound ? ENOEXEC : ENOENT;
  }
  failure.reason = text != nullptr ? text : "";
  if (!*haveFailure || (failure.fileFound && !best->fileFound)) {
    *best = std::move(failure);
    *haveFailure = true;
  }
  return nullptr;
}

}  // namespace

void* openLibrary(const std::string& fileName, LibraryOpenFailure* failure) {
  bool haveFailure = false;
  // A name with a directory part is opened as given, relative to the current directory.
  if (fileName.find('/') != std::string::npos) {
    return attemptOpen(fileName, false, failure, &haveFailure);
  }
  // A bare name: the current directory, the executable's directory, then the system's search.
  // dlopen itself never looks in the current directory for a bare name.
  std::string local = "./" + fileName;
  if (pathExists(local)) {
    if (void* library = attemptOpen(local, false, failure, &haveFailure)) return library;
  }
  std::string directory = executableDirectory();
  if (!directory.empty()) {
    std::string besideExecutable = directory + "/" + fileName;
    if (pathExists(besideExecutable)) {
      if (void* library = attemptOpen(besideExecutable, false, failure, &haveFailure)) {
        return library;
      }
    }
  }
  return attemptOpen(fileName, true, failure, &haveFailure);
}

void* findLibrarySymbol(void* library, const char* name) { return dlsym(library, name); }

void closeLibrary(void* library) { dlclose(library); }

std::span<const char* const> libraryFileSuffixes() {
  static const char* const kSuffixes64[] = {"_x64.so", ".so", ".dll"};
  static const char* const kSuffixes32[] = {".so", ".dll"};
  if constexpr (sizeof(void*) == 8) {
    return kSuffixes64;
  } else {
    return kSuffixes32;
  }
}

bool onlyDecoratedExportNames() { return false; }

bool loaderGivesFailureReason() { return true; }

std::string executableDirectory() {
  static const std::string directory = [] {
    char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return std::string();
    std::string executable(path, static_cast<std::size_t>(length));
    std::size_t slash = executable.rfind('/');
    if (slash == std::string::npos) return std::string();
    return executable.substr(0, slash == 0 ? 1 : slash);
  }();
  return directory;
}

}  // namespace platform
