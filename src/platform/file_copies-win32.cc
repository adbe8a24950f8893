// File primitives for private copies of libraries on Windows.
#include "platform/file_copies.h"

#include <windows.h>

namespace platform {

namespace {

std::int64_t nanoseconds(const FILETIME& time) {
  ULARGE_INTEGER value;
  value.LowPart = time.dwLowDateTime;
  value.HighPart = time.dwHighDateTime;
  return static_cast<std::int64_t>(value.QuadPart) * 100;
}

}  // namespace

FileStamp fileStamp(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  FileStamp stamp;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return stamp;
  stamp.exists = true;
  stamp.regular = (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
  stamp.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  stamp.modified = nanoseconds(data.ftLastWriteTime);
  return stamp;
}

std::int64_t fileClockNow() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return nanoseconds(now);
}

std::uint32_t copyFile(const std::string& from, const std::string& to) {
  return CopyFileA(from.c_str(), to.c_str(), TRUE) ? 0 : static_cast<std::uint32_t>(GetLastError());
}

bool linkEntry(const std::string& target, const std::string& link) {
  DWORD attributes = GetFileAttributesA(target.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (!folder && CreateHardLinkA(link.c_str(), target.c_str(), nullptr)) return true;
  // Without the right to make symbolic links this fails, and the entry is not mirrored.
  DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE | (folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0);
  return CreateSymbolicLinkA(link.c_str(), target.c_str(), flags) != 0;
}

bool makeFolder(const std::string& path) {
  return CreateDirectoryA(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

void removeFolderTree(const std::string& path) {
  // A link or junction in the folder's place is removed itself; what it points at is never
  // entered.
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    if (!RemoveDirectoryA(path.c_str())) DeleteFileA(path.c_str());
    return;
  }
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((path + "\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::string name = found.cFileName;
      if (name == "." || name == "..") continue;
      std::string inner = path + "\\" + name;
      if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
        removeFolderTree(inner);
      } else {
        DeleteFileA(inner.c_str());
      }
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  RemoveDirectoryA(path.c_str());
}

void removeFile(const std::string& path) { DeleteFileA(path.c_str()); }

std::string temporaryFolder() {
  char path[MAX_PATH + 1];
  DWORD length = GetTempPathA(sizeof path, path);
  std::string folder = length == 0 || length > sizeof path ? std::string(".") : std::string(path, length);
  while (folder.size() > 3 && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
  return folder;
}

std::uint32_t processId() { return GetCurrentProcessId(); }

bool processRunning(std::uint32_t id) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
  if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
  DWORD code = 0;
  bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
  CloseHandle(process);
  return running;
}

}  // namespace platform
