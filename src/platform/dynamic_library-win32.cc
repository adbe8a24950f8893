// Dynamic-library primitives on Windows: LoadLibraryExA with the loader's default search.
#include "platform/dynamic_library.h"

#include <windows.h>

namespace platform {

void* openLibrary(const std::string& fileName, LibraryOpenFailure* failure) {
  HMODULE module = LoadLibraryExA(fileName.c_str(), nullptr, 0);
  if (module != nullptr) return reinterpret_cast<void*>(module);
  DWORD error = GetLastError();
  failure->errorCode = static_cast<std::uint32_t>(error);
  failure->reason.clear();
  failure->fileFound = error != ERROR_MOD_NOT_FOUND && error != ERROR_FILE_NOT_FOUND &&
                       error != ERROR_PATH_NOT_FOUND;
  return nullptr;
}

void* findLibrarySymbol(void* library, const char* name) {
  FARPROC address = GetProcAddress(reinterpret_cast<HMODULE>(library), name);
  return reinterpret_cast<void*>(address);
}

void closeLibrary(void* library) { FreeLibrary(reinterpret_cast<HMODULE>(library)); }

std::span<const char* const> libraryFileSuffixes() {
#ifdef _WIN64
  static const char* const kSuffixes[] = {"_x64.dll", ".dll"};
#else
  static const char* const kSuffixes[] = {".dll"};
#endif
  return kSuffixes;
}

bool onlyDecoratedExportNames() {
#ifdef _WIN64
  return false;
#else
  return true;
#endif
}

bool loaderGivesFailureReason() { return false; }

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
