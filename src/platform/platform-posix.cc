// The operating-system layer on POSIX systems: terminal, clock, sleep and files.
#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <dirent.h>
#ifdef __GLIBC__
#include <stdio_ext.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/crash_guard.h"
#include "platform/line_splitter.h"

#ifdef INVOKEMODULE_HAVE_LIBEDIT
#include <editline/readline.h>
#endif

namespace platform {

namespace {

// Buffered standard input, cut into lines by the portable splitter.
class InputReader {
 public:
  bool readLine(std::string* line) { return splitter_.nextLine(line, &readInput, nullptr); }

 private:
  static std::size_t readInput(void*, char* into, std::size_t size) {
    for (;;) {
      ssize_t n = ::read(STDIN_FILENO, into, size);
      if (n > 0) return static_cast<std::size_t>(n);
      if (n < 0 && errno == EINTR) continue;  // an interrupt at the prompt: the tty drops the line
      return 0;
    }
  }

  LineSplitter splitter_;
};

volatile sig_atomic_t interruptFlag = 0;

void onInterrupt(int signal, siginfo_t* info, void* context) {
  interruptFlag = 1;
  abandonGuardedCall(signal, info, context);  // at a terminal, Ctrl-C also abandons a call
}

InputReader& inputReader() {
  static InputReader reader;
  return reader;
}

}  // namespace

void setupConsoleWindow() {}

bool outputIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }
bool inputIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

bool hasNativeConsoleAttributes() { return false; }
void setNativeConsoleAttribute(std::uint16_t) {}
void moveNativeCursorUp() {}
void setNativeWindowTitle(const char*) {}

namespace {

void writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // a failed write goes unreported; the program goes on
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

}  // namespace

void writeOutput(const char* data, std::size_t size) { writeAll(STDOUT_FILENO, data, size); }

void writeErrorOutput(const char* data, std::size_t size) { writeAll(STDERR_FILENO, data, size); }

void flushRuntimeOutput() {
#ifdef __GLIBC__
  if (__fpending(stdout) == 0) return;  // the common case: the extension printed nothing
#endif
  std::fflush(stdout);
}

namespace {

LineCompleter lineCompleter = nullptr;

#ifdef INVOKEMODULE_HAVE_LIBEDIT

// Builds the match array libedit expects: the common prefix first, then every candidate,
// all allocated with malloc, null-terminated; null when there is no candidate.
char** completionMatches(const char*, int start, int end) {
  rl_attempted_completion_over = 1;  // never fall back to the library's file names
  if (lineCompleter == nullptr) return nullptr;
  std::vector<std::string> candidates =
      lineCompleter(rl_line_buffer ? rl_line_buffer : "", static_cast<std::size_t>(start),
                    static_cast<std::size_t>(end));
  if (candidates.empty()) return nullptr;
  std::string common = candidates[0];
  for (const std::string& candidate : candidates) {
    std::size_t n = 0;
    while (n < common.size() && n < candidate.size() && common[n] == candidate[n]) ++n;
    common.resize(n);
  }
  // A single command word is finished by a space; a quoted name or a path is not.
  bool single = candidates.size() == 1;
  bool quoted = start > 0 && rl_line_buffer != nullptr && rl_line_buffer[start - 1] == '"';
  rl_completion_append_character = single && !quoted ? ' ' : '\0';
  char** matches = static_cast<char**>(std::calloc(candidates.size() + 2, sizeof(char*)));
  if (matches == nullptr) return nullptr;
  matches[0] = ::strdup(single ? candidates[0].c_str() : common.c_str());
  for (std::size_t i = 0; !single && i < candidates.size(); ++i) {
    matches[i + 1] = ::strdup(candidates[i].c_str());
  }
  return matches;
}

// Line editing with in-memory history; no prompt of our own and no history file.
bool readEditedLine(std::string* line) {
  static bool initialised = false;
  if (!initialised) {
    initialised = true;
    rl_attempted_completion_function = completionMatches;
    rl_completer_word_break_characters = const_cast<char*>(" \t\n\"");
  }
  for (;;) {
    errno = 0;
    char* text = ::readline("");
    if (text != nullptr) {
      line->assign(text);
      if (text[0] != '\0') ::add_history(text);
      std::free(text);
      return true;
    }
    if (errno == EINTR && interruptFlag) {
      // Ctrl-C while typing: the line is dropped and the prompt starts afresh.
      interruptFlag = 0;
      writeOutput("\n", 1);
      continue;
    }
    return false;  // Ctrl-D on an empty line, end of input or a failed read
  }
}

bool lineEditingAvailable() { return inputIsTerminal() && outputIsTerminal(); }

#else

bool readEditedLine(std::string*) { return false; }
bool lineEditingAvailable() { return false; }

#endif

}  // namespace

void setLineCompleter(LineCompleter completer) { lineCompleter = completer; }

bool readInputLine(std::string* line) {
  interruptFlag = 0;  // an interrupt that arrived outside a script has nothing left to stop
  static const bool editing = lineEditingAvailable();
  bool ok = editing ? readEditedLine(line) : inputReader().readLine(line);
  interruptFlag = 0;
  return ok;
}

bool listDirectory(const std::string& directory, std::vector<std::string>* entries) {
  DIR* dir = ::opendir(directory.empty() ? "." : directory.c_str());
  if (dir == nullptr) return false;
  entries->clear();
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat info;
    std::string full = (directory.empty() ? std::string() : directory) + name;
    if (::stat(full.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) name.push_back('/');
    entries->push_back(name);
  }
  ::closedir(dir);
  return true;
}

void installInterruptHandler() {
  if (!inputIsTerminal()) return;
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_sigaction = onInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_SIGINFO;  // no SA_RESTART: a pause or a read returns at once
  ::sigaction(SIGINT, &action, nullptr);
}

bool interruptRequested() { return interruptFlag != 0; }
void clearInterrupt() { interruptFlag = 0; }

void discardPendingInput() {
  if (inputIsTerminal()) ::tcflush(STDIN_FILENO, TCIFLUSH);
}

std::int64_t counter() {
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::int64_t counterFrequency() { return 1000000000; }

void sleepMilliseconds(std::uint32_t milliseconds) {
  timespec request;
  request.tv_sec = milliseconds / 1000;
  request.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (::nanosleep(&request, &request) != 0 && errno == EINTR && !interruptFlag) {
  }
}

namespace {

void setReason(std::string* reason, const char* text) {
  if (reason != nullptr) *reason = text;
}

// A path holding a NUL byte names no file: the system would read only the part before it.
bool holdsNul(const std::string& path) { return path.find('\0') != std::string::npos; }

}  // namespace

FileLookup lookupFile(const std::string& path, std::string* openPath, std::string* reason) {
  struct stat info;
  if (holdsNul(path)) {
    setReason(reason, std::strerror(EINVAL));
    return FileLookup::NotFound;
  }
  if (path.empty() || ::stat(path.c_str(), &info) != 0) {
    setReason(reason, std::strerror(path.empty() ? ENOENT : errno));
    return FileLookup::NotFound;
  }
  *openPath = path;
  return FileLookup::Found;
}

std::string resolvedPath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char directory[4096];
  if (::getcwd(directory, sizeof directory) == nullptr) return path;
  std::string resolved = directory;
  if (resolved.back() != '/') resolved.push_back('/');
  return resolved + path;
}

bool readWholeFile(const std::string& path, std::string* contents, std::string* reason) {
  // The kind is checked before opening, so that no device is opened, and again on the open
  // descriptor, in case the path changed in between. A device such as /dev/zero would never end.
  struct stat info;
  if (holdsNul(path) || ::stat(path.c_str(), &info) != 0) {
    setReason(reason, std::strerror(holdsNul(path) ? EINVAL : errno));
    return false;
  }
  auto refused = [&](const struct stat& kind) {
    if (S_ISREG(kind.st_mode) || S_ISFIFO(kind.st_mode)) return false;
    setReason(reason, S_ISDIR(kind.st_mode) ? std::strerror(EISDIR) : kNotAFileOrPipe);
    return true;
  };
  if (refused(info)) return false;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    setReason(reason, std::strerror(errno));
    return false;
  }
  if (::fstat(fd, &info) != 0 || refused(info)) {
    if (reason != nullptr && reason->empty()) *reason = std::strerror(errno);
    ::close(fd);
    return false;
  }
  contents->clear();
  if (S_ISREG(info.st_mode)) contents->reserve(static_cast<std::size_t>(info.st_size));
  char chunk[64 * 1024];
  bool ok = true;
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0) {
      contents->append(chunk, static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      ok = n == 0;
      if (!ok) setReason(reason, std::strerror(errno));
      break;
    }
  }
  ::close(fd);
  return ok;
}

bool writeWholeFile(const std::string& path, const std::string& contents) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  std::size_t done = 0;
  while (done < contents.size()) {
    ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return ::close(fd) == 0 && done == contents.size();
}

}  // namespace platform
