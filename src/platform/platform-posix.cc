// The operating-system layer on POSIX systems: terminal, clock, sleep and files. The line
// editor's policies (history, completion, UTF-8) are portable modules in support/.
#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <locale.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <dirent.h>
#ifdef __GLIBC__
#include <stdio_ext.h>
#endif

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/crash_guard.h"
#include "platform/session_end.h"
#include "support/completion_matches.h"
#include "support/history_lines.h"
#include "support/line_splitter.h"
#include "support/utf8_decoder.h"

#ifdef INVOKEMODULE_HAVE_LIBEDIT
#include <editline/readline.h>
#endif

namespace platform {

namespace {

volatile sig_atomic_t interruptFlag = 0;

// --- Waking the main thread ------------------------------------------------------------

// The main thread's waits (for input, in a pause) watch the read end of this pipe as well, so
// that another thread can wake it: for output to write, or to end the session.
int wakePipe[2] = {-1, -1};
std::atomic<bool> wakePending{false};
std::atomic<int> terminationSignalNumber{0};
void (*finalFlush)() = nullptr;

void makePipe(int (&fds)[2]) {
  if (::pipe(fds) != 0) return;
  for (int fd : fds) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
  ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
}

void writeWakeByte() {
  if (wakePipe[1] < 0) return;
  char byte = 'w';
  ssize_t ignored = ::write(wakePipe[1], &byte, 1);  // a full pipe is awake already
  (void)ignored;
}

// Empties the wake pipe, then lets the next wake write a byte anew. In this order no wake is
// lost: one that comes while the pipe is drained finds the flag still set and writes nothing,
// and the output it announced is handled by the caller, which runs after this returns.
// (Clearing the flag first could drain the byte of a wake that set it again, leaving the flag
// set over an empty pipe, and every later wake silent.)
void takeWake() {
  char bytes[64];
  while (wakePipe[0] >= 0 && ::read(wakePipe[0], bytes, sizeof bytes) > 0) {
  }
  wakePending.store(false);
}

enum class Wait { Ready, Woken, Interrupted, TimedOut };

// Waits until `fd` (none when negative) can be read, the main thread is woken, a signal
// arrives or `timeout` passes (null: no limit).
Wait waitFor(int fd, const timespec* timeout) {
  pollfd fds[2] = {{wakePipe[0], POLLIN, 0}, {fd, POLLIN, 0}};
  int n = ::ppoll(fds, fd >= 0 ? 2 : 1, timeout, nullptr);
  if (n < 0) return errno == EINTR ? Wait::Interrupted : Wait::Ready;  // a failed poll: read
  if (n == 0) return Wait::TimedOut;
  if (fds[0].revents != 0) return Wait::Woken;
  return Wait::Ready;
}

// Async-signal-safe (a lock-free atomic and two writes): the main thread sees the signal at
// its next step, whichever thread took it, and its waits end; the watcher thread wakes.
static_assert(std::atomic<int>::is_always_lock_free);
int signalPipe[2] = {-1, -1};

void onTerminationSignal(int signalNumber) {
  int savedErrno = errno;
  int none = 0;
  terminationSignalNumber.compare_exchange_strong(none, signalNumber);  // the first one counts
  writeWakeByte();
  unsigned char byte = static_cast<unsigned char>(signalNumber);
  ssize_t ignored = ::write(signalPipe[1], &byte, 1);
  (void)ignored;
  errno = savedErrno;
}

// Runs on a thread of its own, with every signal blocked. The main thread, when in the host's
// own code, sees the signal at its next step and ends as `exit` does. When it stays in code of
// an extension or library, which may never return, the session ends here with what the host
// holds flushed; when it is stuck in the host's own code, here without.
void watchTerminationSignals() {
  unsigned char byte = 0;
  while (::read(signalPipe[0], &byte, 1) != 1) {
    pollfd fd = {signalPipe[0], POLLIN, 0};
    ::poll(&fd, 1, -1);
  }
  if (waitUntilTheSessionMustEndNow() == EndNow::Flushed && finalFlush != nullptr) finalFlush();
  ::_exit(128 + terminationSignalNumber.load());
}

// Buffered standard input, cut into lines by the portable splitter.
class InputReader {
 public:
  bool readLine(std::string* line) { return splitter_.nextLine(line, &readInput, nullptr); }

 private:
  static std::size_t readInput(void*, char* into, std::size_t size) {
    for (;;) {
      Wait wait = waitFor(STDIN_FILENO, nullptr);
      if (terminationSignalNumber.load() != 0) return 0;
      if (wait == Wait::Woken) takeWake();
      if (wait != Wait::Ready) continue;
      ssize_t n = ::read(STDIN_FILENO, into, size);
      if (n > 0) return static_cast<std::size_t>(n);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;  // the tty drops an interrupted line
      return 0;
    }
  }

  support::LineSplitter splitter_{adviseLargePages};
};

void onInterrupt(int signal, siginfo_t* info, void* context) {
  if (abandonPending()) {
    onTerminationSignal(signal);  // a second Ctrl-C while the first waits: the host ends
    return;
  }
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

// Answers 0, or the system's error code of the write that failed.
int writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

}  // namespace

int writeOutput(const char* data, std::size_t size) { return writeAll(STDOUT_FILENO, data, size); }

void writeErrorOutput(const char* data, std::size_t size) { writeAll(STDERR_FILENO, data, size); }

std::string errorText(int code) { return std::strerror(code); }

void openNullDeviceOnClosedStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

void wakeMainThread() {
  if (!wakePending.exchange(true)) writeWakeByte();
}

void installTerminationHandlers(void (*flushAtOnce)()) {
  finalFlush = flushAtOnce;
  makePipe(wakePipe);
  makePipe(signalPipe);
  ::fcntl(signalPipe[0], F_SETFL, 0);  // the watcher blocks on it
  // The watcher takes no signal: a process-directed one goes to a thread that acts on it.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  std::thread(watchTerminationSignals).detach();
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = onTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGHUP, &action, nullptr);
  // At a terminal, the interrupt key interrupts scripts instead.
  if (!inputIsTerminal()) ::sigaction(SIGINT, &action, nullptr);
}

int terminationSignal() { return terminationSignalNumber.load(); }

// Set once the C runtime's standard output stays locked by another thread past every wait: a
// thread of an extension that faulted in the middle of a printf is parked holding it for good.
std::atomic<bool> runtimeOutputLost{false};

void flushRuntimeOutput() {
#ifdef __GLIBC__
  if (__fpending(stdout) == 0) return;  // the common case: the extension printed nothing
#endif
  if (runtimeOutputLost.load(std::memory_order_relaxed)) return;
  // The stream's lock is waited for a moment only: the host never hangs on a lock a parked
  // thread holds (what that thread had written stays unwritten).
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (::ftrylockfile(stdout) == 0) {
      std::fflush(stdout);
      ::funlockfile(stdout);
      return;
    }
    ::usleep(1000);
  }
  runtimeOutputLost.store(true);
}

namespace {

LineCompleter lineCompleter = nullptr;

#ifdef INVOKEMODULE_HAVE_LIBEDIT

// Builds the match array libedit expects: the common prefix first, then every candidate,
// all allocated with malloc, null-terminated; null when there is no candidate.
char** completionMatches(const char*, int start, int end) {
  rl_attempted_completion_over = 1;  // never fall back to the library's file names
  if (lineCompleter == nullptr) return nullptr;
  std::vector<std::string> candidates = lineCompleter(
      rl_line_buffer ? rl_line_buffer : "", static_cast<std::size_t>(start), static_cast<std::size_t>(end));
  if (candidates.empty()) return nullptr;
  support::CompletionMatches found = support::completionMatches(
      candidates, rl_line_buffer ? rl_line_buffer : "", static_cast<std::size_t>(start));
  rl_completion_append_character = found.appendSpace ? ' ' : '\0';
  // Two null slots after the last match at least: libedit looks at matches[2] to tell a single
  // match, even when matches[1] already ends the array.
  char** matches = static_cast<char**>(std::calloc(found.alternatives.size() + 3, sizeof(char*)));
  if (matches == nullptr) return nullptr;
  matches[0] = ::strdup(found.replacement.c_str());
  for (std::size_t i = 0; i < found.alternatives.size(); ++i) {
    matches[i + 1] = ::strdup(found.alternatives[i].c_str());
  }
  return matches;
}

void (*outputDrain)() = nullptr;

// Output that arrived while the user types goes above the line being typed: the rows of
// the line are cleared, the output written, and the line drawn again below it, the cursor
// where it was. Only this thread touches the editor, which is not thread-safe.
void showArrivedOutput() {
  winsize size;
  int columns = ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
  int row = rl_point / columns;  // the cursor's row within the line (no prompt of our own)
  std::string clear = "\r";
  if (row > 0) clear += "\x1b[" + std::to_string(row) + "A";
  clear += "\x1b[J";
  writeOutput(clear.data(), clear.size());
  if (outputDrain != nullptr) outputDrain();
  rl_forced_update_display();
}

constexpr int kKillWholeLine = 0x15;  // Ctrl-U in the editor's emacs key map

// The editor's byte source: waits on the terminal and the wake pipe together. An interrupt
// drops the line being typed and starts afresh; a termination signal ends input.
int readEditorByte() {
  for (;;) {
    if (terminationSignalNumber.load() != 0) return EOF;
    Wait wait = waitFor(STDIN_FILENO, nullptr);
    if (wait == Wait::Woken) {
      takeWake();
      showArrivedOutput();
    } else if (wait == Wait::Interrupted && interruptFlag) {
      interruptFlag = 0;
      writeOutput("\n", 1);
      return kKillWholeLine;  // the line stays in view above; editing starts afresh below
    } else if (wait == Wait::Ready) {
      unsigned char byte;
      ssize_t n = ::read(STDIN_FILENO, &byte, 1);
      if (n == 1) return byte;
      if (n == 0 || (errno != EINTR && errno != EAGAIN)) return EOF;
    }
  }
}

// The editor's character source. libedit's readline layer takes each value as one whole
// character, so a UTF-8 sequence is put together here into its code point.
int readEditorCharacter(FILE*) {
  static support::Utf8Decoder decoder;
  return decoder.next([](void*) { return readEditorByte(); }, nullptr);
}

// The typed lines kept across sessions (support/history_lines.h), in their file: loaded when
// line editing starts and appended a line at a time. A place that cannot be written turns it off.
class HistoryFile {
 public:
  void load() {
    stifle_history(static_cast<int>(support::HistoryLines::kCap));
    path_ = historyPath();
    if (path_.empty()) return;
    // Only a regular file is history: a FIFO would hold the prompt for ever, a device or a
    // folder is no place for it. Anything else there turns history off.
    struct stat info;
    if (::stat(path_.c_str(), &info) == 0 ? !S_ISREG(info.st_mode) : errno != ENOENT) {
      path_.clear();
      return;
    }
    std::string contents;
    bool rewriteNow = readWholeFile(path_, &contents) && lines_.load(contents);
    for (const std::string& kept : lines_.lines()) ::add_history(kept.c_str());
    if (rewriteNow) {
      rewrite();
    } else {
      int fd = openForAppend();
      if (fd < 0) path_.clear();
      if (fd >= 0) ::close(fd);
    }
  }

  // A line entered, unless it is not kept.
  void add(const char* text) {
    if (!lines_.add(text)) return;
    ::add_history(text);
    if (path_.empty()) return;
    if (lines_.lineForFile()) {
      rewrite();
      return;
    }
    std::string entry = std::string(text) + "\n";
    int fd = openForAppend();
    if (fd < 0 || ::write(fd, entry.data(), entry.size()) != static_cast<ssize_t>(entry.size()))
      path_.clear();
    if (fd >= 0) ::close(fd);
  }

 private:
  // The history file's path, with its folders made; empty when there is no such place.
  static std::string historyPath() {
    support::HistoryPlace place = support::historyPlace(std::getenv("XDG_STATE_HOME"), std::getenv("HOME"));
    bool made = !place.folders.empty();
    for (const std::string& folder : place.folders)
      made = ::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
    return made ? place.path : std::string();
  }

  // The history file opened for appending, or -1 when it cannot be or is no regular file
  // (the open does not wait on a FIFO put there since the start).
  int openForAppend() const {
    int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0600);
    struct stat info;
    if (fd >= 0 && (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
      ::close(fd);
      return -1;
    }
    return fd;
  }

  // Replaces the file with the kept lines (written beside it, then renamed over it).
  void rewrite() {
    std::string fresh = path_ + ".new";
    if (writeWholeFile(fresh, lines_.fileText()) && ::rename(fresh.c_str(), path_.c_str()) == 0) {
      lines_.rewritten();
    } else {
      ::unlink(fresh.c_str());
      path_.clear();
    }
  }

  std::string path_;  // empty: not kept
  support::HistoryLines lines_;
};

HistoryFile& historyFile() {
  static HistoryFile file;
  return file;
}

// Line editing with history kept across sessions; no prompt of our own.
bool readEditedLine(std::string* line) {
  // The editor decides at start-up which characters it inserts and turns its characters into
  // bytes, both through the character locale: this thread sets it up and edits under a UTF-8
  // one, while an extension keeps the process's own.
  static locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  static bool initialised = false;
  if (!initialised) {
    initialised = true;
    locale_t previous = utf8 != nullptr ? ::uselocale(utf8) : nullptr;
    rl_attempted_completion_function = completionMatches;
    rl_completer_word_break_characters = const_cast<char*>(" \t\n\"");
    rl_getc_function = readEditorCharacter;
    ::rl_initialize();
    historyFile().load();
    if (previous != nullptr) ::uselocale(previous);
  }
  for (;;) {
    errno = 0;
    locale_t previous = utf8 != nullptr ? ::uselocale(utf8) : nullptr;
    char* text = ::readline("");
    if (previous != nullptr) ::uselocale(previous);
    if (text != nullptr) {
      line->assign(text);
      historyFile().add(text);
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

void (*outputDrain)() = nullptr;

bool readEditedLine(std::string*) { return false; }
bool lineEditingAvailable() { return false; }

#endif

}  // namespace

void setLineCompleter(LineCompleter completer) { lineCompleter = completer; }

void setOutputDrain(void (*drain)()) { outputDrain = drain; }

void (*inputWaitWake())() {
  static const bool editing = lineEditingAvailable();
  return editing ? wakeMainThread : nullptr;
}

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
  const std::int64_t end = counter() + static_cast<std::int64_t>(milliseconds) * 1000000;
  for (;;) {
    std::int64_t left = end - counter();
    if (left <= 0 || interruptFlag || terminationSignalNumber.load() != 0) return;
    timespec request = {static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
    if (waitFor(-1, &request) == Wait::Woken) takeWake();
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
  // A big script's pages come large and are mapped in one go: filling it then takes a few
  // page faults, not one per small page. Each piece is read into a small buffer that stays in
  // the cache, then appended: one pass over the text's memory.
  contents->clear();
  if (S_ISREG(info.st_mode)) {
    const auto expected = static_cast<std::size_t>(info.st_size);
    contents->reserve(expected);
    adviseLargePages(contents->data(), contents->capacity());
    prefaultPages(contents->data(), expected);
  }
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
