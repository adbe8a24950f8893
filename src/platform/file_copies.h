// File primitives for private copies of libraries: a file's size and modification time, the
// file clock, copying, folders made and removed, the temporary folder and process liveness.
//
// Implementations live in file_copies-posix.cc and file_copies-win32.cc.
#ifndef INVOKEMODULE_PLATFORM_FILE_COPIES_H_
#define INVOKEMODULE_PLATFORM_FILE_COPIES_H_

#include <cstdint>
#include <string>

namespace platform {

// What tells a file's versions apart cheaply. A missing file has exists false and zeros.
struct FileStamp {
  bool exists = false;
  bool regular = false;  // a regular file: no folder, pipe or device
  std::uint64_t size = 0;
  std::int64_t modified = 0;  // nanoseconds on the file clock
  bool operator==(const FileStamp&) const = default;
};

FileStamp fileStamp(const std::string& path);

// The file clock now, in the units of FileStamp::modified.
std::int64_t fileClockNow();

// Copies the file `from` to a new file `to`. Answers 0, or the system's error code (the
// loader's kind: platform::loaderErrorText tells it).
std::uint32_t copyFile(const std::string& from, const std::string& to);

// Makes `link` a name for the file or folder `target` (an absolute path), without copying:
// POSIX, a symbolic link; Windows, a hard link for a file on the same volume, else a symbolic
// link where the system lets the user make one (administrator, or developer mode). Answers
// whether it did; a `link` that exists already is left as it is.
bool linkEntry(const std::string& target, const std::string& link);

// Makes the folder (its parent exists). Answers whether it exists afterwards.
bool makeFolder(const std::string& path);

// Removes the folder with everything in it; what cannot be removed stays.
void removeFolderTree(const std::string& path);

// Removes one file; failures are ignored.
void removeFile(const std::string& path);

// The system's folder for temporary files, without a trailing separator.
std::string temporaryFolder();

std::uint32_t processId();

// True while a process with this id runs (or cannot be asked about).
bool processRunning(std::uint32_t id);

}  // namespace platform

#endif  // INVOKEMODULE_PLATFORM_FILE_COPIES_H_
