// Dynamic-library primitives on POSIX systems: dlopen of one path or bare name.
#include "platform/dynamic_library.h"

#include <dirent.h>
#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace platform {

bool fileExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

namespace {

// Whether a path is too long to name a file: longer than the system takes, or with a part
// longer than a file name can be. The loader is not asked: it copies a name it searches for
// onto its stack, which a name of some MiB overflows.
bool tooLongForAFile(const std::string& path) {
  if (path.size() >= PATH_MAX) return true;
  std::size_t start = 0;
  for (std::size_t slash; (slash = path.find('/', start)) != std::string::npos; start = slash + 1) {
    if (slash - start > NAME_MAX) return true;
  }
  return path.size() - start > NAME_MAX;
}

// Whether a path names a FIFO: the loader would wait in open() until something writes to it.
bool namesFifo(const std::string& path) {
  struct stat info;
  return path.find('/') != std::string::npos && stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
}

}  // namespace

void* openLibrary(const std::string& path, LibraryOpenFailure* failure) {
  const bool tooLong = tooLongForAFile(path);
  if (tooLong || namesFifo(path)) {
    // Taken as no file found: the hints that follow read what a found file holds.
    const bool fifo = !tooLong;
    failure->fileFound = false;
    failure->errorCode = fifo ? ENOEXEC : ENAMETOOLONG;
    failure->reason = path + (fifo ? ": a named pipe (FIFO), not a library file"
                                   : ": cannot open shared object file: File name too long");
    return nullptr;
  }
  dlerror();
  errno = 0;
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library != nullptr) return library;
  int error = errno;
  const char* text = dlerror();
  // A bare name is searched for by the loader: only its errno tells whether a file was found.
  bool searchedBySystem = path.find('/') == std::string::npos;
  failure->fileFound = searchedBySystem ? (error != 0 && error != ENOENT) : fileExists(path);
  if (error != 0) {
    failure->errorCode = static_cast<std::uint32_t>(error);
  } else {
    failure->errorCode = failure->fileFound ? ENOEXEC : ENOENT;
  }
  failure->reason = text != nullptr ? text : "";
  return nullptr;
}

void* openLibraryCopy(const std::string& copyPath, const std::string&, LibraryOpenFailure* failure) {
  return openLibrary(copyPath, failure);
}

bool libraryStillLoaded(const std::string& path) {
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (library == nullptr) return false;
  dlclose(library);  // the reference RTLD_NOLOAD took
  return true;
}

// The folders of LD_LIBRARY_PATH, which the loader searches first for a bare name.
std::string systemSearchResult(const std::string& file) {
  const char* folders = std::getenv("LD_LIBRARY_PATH");
  std::string list = folders != nullptr ? folders : "";
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find(':', start);
    if (end == std::string::npos) end = list.size();
    std::string folder = list.substr(start, end - start);
    std::string path = (folder.empty() ? std::string(".") : folder) + "/" + file;
    if (!folder.empty() && fileExists(path)) return path;
    start = end + 1;
  }
  return std::string();
}

std::uint32_t badFormatErrorCode() { return ENOEXEC; }

void* findLibrarySymbol(void* library, const char* name) { return dlsym(library, name); }

std::string libraryBindingSymbol(void* library, const char* name) {
  void* address = dlsym(library, name);
  Dl_info info;
  if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fname == nullptr) return std::string();
  if (reinterpret_cast<std::uintptr_t>(info.dli_fbase) == libraryLoadBase(library)) return std::string();
  return info.dli_fname;
}

void closeLibrary(void* library) { dlclose(library); }

const void* libraryImageBase(void*) { return nullptr; }

std::uintptr_t libraryLoadBase(void* library) {
  link_map* map = nullptr;
  if (dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_ld == nullptr) return 0;
  Dl_info info;
  if (dladdr(map->l_ld, &info) == 0) return 0;
  return reinterpret_cast<std::uintptr_t>(info.dli_fbase);
}

std::string loadedLibraryPath(void* library) {
  link_map* map = nullptr;
  if (dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr) {
    return std::string();
  }
  return map->l_name;
}

std::string loaderErrorText(std::uint32_t code) { return std::strerror(static_cast<int>(code)); }

std::span<const char* const> libraryFileSuffixes() {
  static const char* const kSuffixes64[] = {"_x64.so", ".so", ".dll"};
  static const char* const kSuffixes32[] = {".so", ".dll"};
  if constexpr (sizeof(void*) == 8) {
    return kSuffixes64;
  } else {
    return kSuffixes32;
  }
}

bool searchesLocalFoldersFirst() { return true; }

const char* pathSeparators() { return "/"; }

bool librariesArePeFiles() { return false; }

bool fileNamesAreCaseSensitive() { return true; }

std::uint32_t invalidNameErrorCode() { return EINVAL; }

bool onlyDecoratedExportNames() { return false; }

bool loaderGivesFailureReason() { return true; }

std::vector<std::string> folderEntries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* directory = opendir(folder.c_str());
  if (directory == nullptr) return names;
  while (dirent* entry = readdir(directory)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      names.emplace_back(entry->d_name);
    }
  }
  closedir(directory);
  return names;
}

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
