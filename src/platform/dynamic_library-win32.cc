// Dynamic-library primitives on Windows: LoadLibraryExA with the loader's default search.
#include "platform/dynamic_library.h"

#include <windows.h>

namespace platform {

void* openLibrary(const std::string& path, LibraryOpenFailure* failure) {
  HMODULE module = LoadLibraryExA(path.c_str(), nullptr, 0);
  if (module != nullptr) return reinterpret_cast<void*>(module);
  DWORD error = GetLastError();
  failure->errorCode = static_cast<std::uint32_t>(error);
  failure->reason.clear();
  failure->fileFound =
      error != ERROR_MOD_NOT_FOUND && error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
  return nullptr;
}

// The copy's folder holds nothing else: the original file's folder is added to the search for
// its dependencies for the duration of the load.
void* openLibraryCopy(const std::string& copyPath, const std::string& originalFolder,
                      LibraryOpenFailure* failure) {
  SetDllDirectoryA(originalFolder.c_str());
  void* library = openLibrary(copyPath, failure);
  SetDllDirectoryA(nullptr);
  return library;
}

bool libraryStillLoaded(const std::string& path) { return GetModuleHandleA(path.c_str()) != nullptr; }

std::string systemSearchResult(const std::string& file) {
  char path[MAX_PATH * 4];
  DWORD length = SearchPathA(nullptr, file.c_str(), nullptr, sizeof path, path, nullptr);
  return length == 0 || length >= sizeof path ? std::string() : std::string(path, length);
}

std::uint32_t badFormatErrorCode() { return ERROR_BAD_EXE_FORMAT; }

void* findLibrarySymbol(void* library, const char* name) {
  FARPROC address = GetProcAddress(reinterpret_cast<HMODULE>(library), name);
  return reinterpret_cast<void*>(address);
}

// Windows binds no symbol to another module by its name alone (there are no GNU unique symbols).
std::string libraryBindingSymbol(void*, const char*) { return std::string(); }

void closeLibrary(void* library) { FreeLibrary(reinterpret_cast<HMODULE>(library)); }

// A module handle is the address its image is mapped at.
const void* libraryImageBase(void* library) { return library; }

std::uintptr_t libraryLoadBase(void* library) { return reinterpret_cast<std::uintptr_t>(library); }

std::string loadedLibraryPath(void* library) {
  char path[MAX_PATH * 4];
  DWORD length = GetModuleFileNameA(reinterpret_cast<HMODULE>(library), path, sizeof path);
  return length == 0 || length >= sizeof path ? std::string() : std::string(path, length);
}

std::string loaderErrorText(std::uint32_t code) {
  char* text = nullptr;
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string result = length != 0 && text != nullptr ? std::string(text, length) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' ')) {
    result.pop_back();
  }
  return result;
}

std::span<const char* const> libraryFileSuffixes() {
#ifdef _WIN64
  static const char* const kSuffixes[] = {"_x64.dll", ".dll"};
#else
  static const char* const kSuffixes[] = {".dll"};
#endif
  return kSuffixes;
}

bool searchesLocalFoldersFirst() { return false; }

const char* pathSeparators() { return "\\/"; }

bool librariesArePeFiles() { return true; }

bool fileNamesAreCaseSensitive() { return false; }

std::uint32_t invalidNameErrorCode() { return ERROR_INVALID_NAME; }

bool onlyDecoratedExportNames() {
#ifdef _WIN64
  return false;
#else
  return true;
#endif
}

bool loaderGivesFailureReason() { return false; }

bool fileExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::string> folderEntries(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    std::string name = found.cFileName;
    if (name != "." && name != "..") names.push_back(std::move(name));
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return names;
}

std::string executableDirectory() {
  char path[MAX_PATH * 4];
  DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  if (length == 0 || length >= sizeof path) return std::string();
  std::string executable(path, length);
  std::size_t separator = executable.find_last_of("\\/");
  if (separator == std::string::npos) return std::string();
  return executable.substr(0, separator);
}

}  // namespace platform
