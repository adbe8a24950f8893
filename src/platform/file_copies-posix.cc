// File primitives for private copies of libraries on POSIX systems.
#include "platform/file_copies.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace platform {

FileStamp fileStamp(const std::string& path) {
  struct stat info;
  FileStamp stamp;
  if (::stat(path.c_str(), &info) != 0) return stamp;
  stamp.exists = true;
  stamp.regular = S_ISREG(info.st_mode);
  stamp.size = static_cast<std::uint64_t>(info.st_size);
  stamp.modified = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  return stamp;
}

std::int64_t fileClockNow() {
  timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::uint32_t copyFile(const std::string& from, const std::string& to) {
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return static_cast<std::uint32_t>(errno);
  int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0700);
  if (out < 0) {
    int error = errno;
    ::close(in);
    return static_cast<std::uint32_t>(error);
  }
  int failure = 0;
  char buffer[1 << 16];
  while (failure == 0) {
    ssize_t got = ::read(in, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got < 0) failure = errno;
      break;
    }
    for (ssize_t done = 0; done < got && failure == 0;) {
      ssize_t put = ::write(out, buffer + done, static_cast<std::size_t>(got - done));
      if (put < 0 && errno != EINTR) failure = errno;
      done += put > 0 ? put : 0;
    }
  }
  ::close(in);
  if (::close(out) != 0 && failure == 0) failure = errno;
  if (failure != 0) ::unlink(to.c_str());
  return static_cast<std::uint32_t>(failure);
}

bool linkEntry(const std::string& target, const std::string& link) {
  return ::symlink(target.c_str(), link.c_str()) == 0;
}

bool makeFolder(const std::string& path) { return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST; }

void removeFolderTree(const std::string& path) {
  // A symbolic link in the folder's place is removed itself; what it points at is never
  // entered (O_NOFOLLOW also when it is put there after the check).
  struct stat own;
  if (::lstat(path.c_str(), &own) != 0) return;
  if (!S_ISDIR(own.st_mode)) {
    ::unlink(path.c_str());
    return;
  }
  int descriptor = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (descriptor < 0) return;
  if (DIR* folder = ::fdopendir(descriptor)) {
    while (dirent* entry = ::readdir(folder)) {
      if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
      std::string inner = path + "/" + entry->d_name;
      struct stat info;
      if (::lstat(inner.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        removeFolderTree(inner);
      } else {
        ::unlink(inner.c_str());
      }
    }
    ::closedir(folder);
  } else {
    ::close(descriptor);
  }
  ::rmdir(path.c_str());
}

void removeFile(const std::string& path) { ::unlink(path.c_str()); }

std::string temporaryFolder() {
  const char* folder = std::getenv("TMPDIR");
  std::string path = folder != nullptr && folder[0] != '\0' ? folder : "/tmp";
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::uint32_t processId() { return static_cast<std::uint32_t>(::getpid()); }

bool processRunning(std::uint32_t id) { return ::kill(static_cast<pid_t>(id), 0) == 0 || errno == EPERM; }

}  // namespace platform
