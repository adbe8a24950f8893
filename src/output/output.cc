// Console output: the buffered print routine, colours as escapes or native attributes, printers.
#include "output/output.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/platform.h"

namespace {

// Recursive: a printer such as printColoured is itself used inside a caller's OutputLock
// scope. A nested acquisition only counts up this thread's holds, so the printers inside a
// held scope cost no atomic operation; only the outermost one takes the mutex.
class RecursiveOutputMutex {
 public:
  void lock() {
    if (holds_++ == 0) mutex_.lock();
  }
  void unlock() {
    if (--holds_ == 0) mutex_.unlock();
  }

 private:
  std::mutex mutex_;
  static thread_local int holds_;  // how often this thread holds the mutex now
};

thread_local int RecursiveOutputMutex::holds_ = 0;

// Everything the printers share. It lives in static storage and is never destroyed: an
// extension's threads may print at any moment, also while the process's exit handlers run,
// so nothing here may go away before the process does.
struct OutputState {
  RecursiveOutputMutex mutex;  // guards everything below and the console attribute
  OutputSettings settings;
  ConsoleColour colour = ConsoleColour::White;  // the colour last set
  std::string pending;                          // bytes not yet handed to the OS
  std::string* captured = nullptr;              // test capture target, or null
  std::atomic<bool> closed{false};              // after the last flush: prints are dropped
  // The error of the first failed write, 0 while none failed. Written under the lock, read
  // without it (once per command).
  std::atomic<int> writeError{0};
  // The main thread waits, or is inside an extension call. Set under the lock, cleared
  // without it: a printer that still sees it set flushes or wakes once more than needed,
  // as it would have had it taken the lock a moment earlier.
  std::atomic<bool> waiting{false};
  std::thread::id waiter;                 // the thread that waits
  std::atomic<void (*)()> wake{nullptr};  // while waiting: tells the main thread there is output
  std::atomic<bool> holding{false};       // lines from other threads than holdingThread are held
  std::thread::id holdingThread;
  std::string held;               // the held lines, in arrival order, at most kMaxHeldBytes
  std::uint64_t droppedHeld = 0;  // lines not held because that much was held already
};

// What is held between two command boundaries: a flood of callback lines from a hung call
// costs this much memory, and the lines past it are counted and dropped.
constexpr std::size_t kMaxHeldBytes = std::size_t{16} << 20;

// The state, made before any other static object of the program (so a print from any static
// constructor finds it ready) and never destroyed; read by every printer, several times per line.
union StateStorage {
  OutputState state;
  StateStorage() : state() {}
  ~StateStorage() {}  // leaves `state` alone: it must outlive every exit handler
};
[[gnu::init_priority(101)]] StateStorage stateStorage;

inline OutputState& state() { return stateStorage.state; }

RecursiveOutputMutex& outputMutex() { return state().mutex; }

constexpr std::size_t kFlushThreshold = 64 * 1024;

// After a failed write nothing more goes to the output: the bytes are dropped.
void flushLocked() {
  OutputState& s = state();
  if (s.pending.empty()) return;
  if (s.captured) {
    s.captured->append(s.pending);
  } else if (s.writeError.load(std::memory_order_relaxed) == 0) {
    s.writeError.store(platform::writeOutput(s.pending.data(), s.pending.size()), std::memory_order_relaxed);
  }
  s.pending.clear();
}

// While the main thread waits (or runs an extension's code, which may take long), a line
// printed by another thread goes out at once, or, when
// the main thread redraws what the user is typing, the main thread is woken to write it.
void afterPrint() {
  OutputState& s = state();
  if (s.closed.load(std::memory_order_relaxed)) {
    s.pending.clear();
  } else if (s.waiting.load(std::memory_order_relaxed) && std::this_thread::get_id() != s.waiter) {
    if (void (*wake)() = s.wake.load(std::memory_order_relaxed)) {
      wake();
    } else {
      flushLocked();
    }
  } else if (s.settings.flushEachPrint || s.pending.size() >= kFlushThreshold) {
    flushLocked();
  }
}

const char* sgrFor(ConsoleColour colour) {
  switch (colour) {
    case ConsoleColour::DarkGreen:
      return "\x1b[32m";
    case ConsoleColour::DarkCyan:
      return "\x1b[36m";
    case ConsoleColour::DarkMagenta:
      return "\x1b[35m";
    case ConsoleColour::DarkYellow:
      return "\x1b[33m";
    case ConsoleColour::DarkGray:
      return "\x1b[90m";
    case ConsoleColour::Green:
      return "\x1b[92m";
    case ConsoleColour::Cyan:
      return "\x1b[96m";
    case ConsoleColour::Red:
      return "\x1b[91m";
    case ConsoleColour::White:
      return "\x1b[0m";
  }
  return "\x1b[0m";
}

// Writes the decimal digits of `value` so that they end just before `end`; returns their start.
char* decimalDigitsBefore(char* end, unsigned long long value) {
  do {
    *--end = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  return end;
}

void appendUnsigned(std::string& out, unsigned long long value) {
  char digits[24];
  char* first = decimalDigitsBefore(digits + sizeof digits, value);
  out.append(first, digits + sizeof digits);
}

void appendSigned(std::string& out, long long value) {
  if (value < 0) {
    out.push_back('-');
    appendUnsigned(out, 0ULL - static_cast<unsigned long long>(value));
  } else {
    appendUnsigned(out, static_cast<unsigned long long>(value));
  }
}

void appendPointer(std::string& out, const void* pointer) {
  static const char kHex[] = "0123456789ABCDEF";
  auto value = reinterpret_cast<std::uintptr_t>(pointer);
  for (int shift = static_cast<int>(sizeof(value) * 8) - 4; shift >= 0; shift -= 4) {
    out.push_back(kHex[(value >> shift) & 0xF]);
  }
}

// Writes `value` as printf's "%.6f" does: fixed notation, six decimals, the exact binary value
// rounded half to even, "-" for every value with the sign bit (so "-0.000000" too).
void appendFixedByLibrary(std::string& out, double value) {
  char text[400];  // the longest, -DBL_MAX, takes 316 bytes
  auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 6);
  out.append(text, result.ptr);
}

#ifdef __SIZEOF_INT128__
__extension__ typedef unsigned __int128 Unsigned128;

// Magnitudes below 2^43, which covers every execution time, take an exact integer path:
// |value| = m * 2^-s with s > 0, so |value| * 10^6 = m * 10^6 / 2^s, divided with its remainder.
// Anything larger, infinities and NaNs go to the library.
void appendFixed(std::string& out, double value) {
  constexpr double kIntegerPathLimit = 8796093022208.0;  // 2^43, so |value| * 10^6 < 2^63
  const double magnitude = std::fabs(value);
  if (!(magnitude < kIntegerPathLimit)) {
    appendFixedByLibrary(out, value);
    return;
  }
  std::uint64_t bits;
  std::memcpy(&bits, &magnitude, sizeof bits);
  const int exponentField = static_cast<int>(bits >> 52);
  std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
  if (exponentField != 0) mantissa |= std::uint64_t{1} << 52;
  const int shift = 1075 - (exponentField != 0 ? exponentField : 1);  // > 9 below 2^43
  std::uint64_t millionths = 0;                                       // |value| * 10^6, rounded half to even
  if (shift < 120) {  // from 2^-67 down everything rounds to zero
    const Unsigned128 product = static_cast<Unsigned128>(mantissa) * 1000000u;
    Unsigned128 quotient = product >> shift;
    const Unsigned128 remainder = product - (quotient << shift);
    const Unsigned128 half = static_cast<Unsigned128>(1) << (shift - 1);
    if (remainder > half || (remainder == half && (quotient & 1) != 0)) ++quotient;
    millionths = static_cast<std::uint64_t>(quotient);
  }
  // Built backwards in one buffer: six decimals, the point, the whole part, the sign.
  char text[32];
  char* end = text + sizeof text;
  char* first = end;
  std::uint64_t fraction = millionths % 1000000;
  for (int i = 0; i < 6; ++i) {
    *--first = static_cast<char>('0' + fraction % 10);
    fraction /= 10;
  }
  *--first = '.';
  first = decimalDigitsBefore(first, millionths / 1000000);
  if (std::signbit(value)) *--first = '-';
  out.append(first, end);
}
#else
void appendFixed(std::string& out, double value) { appendFixedByLibrary(out, value); }
#endif

// Formats into `out`. Unknown directives are copied through as written.
void appendFormatted(std::string& out, const char* format, va_list args) {
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      const char* run = p;
      while (p[1] != '\0' && p[1] != '%') ++p;
      out.append(run, static_cast<std::size_t>(p - run + 1));
      continue;
    }
    switch (p[1]) {
      case 's': {
        const char* text = va_arg(args, const char*);
        out.append(text ? text : "");
        ++p;
        break;
      }
      case 'd':
        appendSigned(out, va_arg(args, int));
        ++p;
        break;
      case 'u':
        appendUnsigned(out, va_arg(args, unsigned));
        ++p;
        break;
      case 'p':
        appendPointer(out, va_arg(args, const void*));
        ++p;
        break;
      case 'l':
        if (p[2] == 'f') {
          appendFixed(out, va_arg(args, double));
          p += 2;
        } else {
          out.push_back('%');
        }
        break;
      case '%':
        out.push_back('%');
        ++p;
        break;
      default:
        out.push_back('%');
        break;
    }
  }
}

[[gnu::noinline]] void showColourLocked(OutputState& s, ConsoleColour colour) {
  if (s.settings.nativeAttributes) {
    flushLocked();
    platform::setNativeConsoleAttribute(static_cast<std::uint16_t>(colour));
  } else {
    s.pending.append(sgrFor(colour));
    afterPrint();
  }
}

// Several times per line: without colours on the output it only remembers the colour.
inline void setColourLocked(ConsoleColour colour) {
  OutputState& s = state();
  s.colour = colour;
  if (s.settings.nativeAttributes || s.settings.colourEscapes) [[unlikely]]
    showColourLocked(s, colour);
}

bool environmentSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0';
}

}  // namespace

OutputSettings detectOutputSettings() {
  OutputSettings settings;
  bool terminal = platform::outputIsTerminal();
  bool native = platform::hasNativeConsoleAttributes();
  bool noColour = environmentSet("NO_COLOR");
  const char* force = std::getenv("FORCE_COLOR");
  bool forceColour = force != nullptr && force[0] != '\0' && std::strcmp(force, "0") != 0;
  bool wantColour = !noColour && (terminal || forceColour);
  settings.nativeAttributes = native && wantColour;
  settings.colourEscapes = !settings.nativeAttributes && wantColour;
  settings.terminalControls = terminal && !native;
  settings.flushEachPrint = terminal;
  return settings;
}

void configureOutput(const OutputSettings& settings) {
  std::lock_guard<RecursiveOutputMutex> lock(outputMutex());
  flushLocked();
  state().settings = settings;
  state().pending.reserve(kFlushThreshold * 2);
}

const OutputSettings& outputSettings() { return state().settings; }

void flushOutput() {
  std::lock_guard<RecursiveOutputMutex> lock(outputMutex());
  flushLocked();
}

void captureOutputForTesting(std::string* capture) {
  std::lock_guard<RecursiveOutputMutex> lock(outputMutex());
  flushLocked();
  state().captured = capture;
}

OutputLock::OutputLock() { outputMutex().lock(); }
OutputLock::~OutputLock() { outputMutex().unlock(); }

void consolePrint(const char* format, ...) {
  std::lock_guard<RecursiveOutputMutex> lock(outputMutex());
  va_list args;
  va_start(args, format);
  appendFormatted(state().pending, format, args);
  va_end(args);
  afterPrint();
}

void consoleWrite(const char* data, std::size_t size) {
  std::lock_guard<RecursiveOutputMutex> lock(outputMutex());
  state().pending.append(data, size);
  afterPrint();
}

void setColour(ConsoleColour colour) {
  std::lock_guard<RecursiveOutputMutex> lock(outputMutex());
  setColourLocked(colour);
}

namespace {

// One colour/print/colour sequence under the lock, the text written by `append` into the
// string it is given; the colour left in force is White, or the colour in force before when
// `restore` is set.
template <class Append>
void printInColour(ConsoleColour colour, bool restore, Append append) {
  std::lock_guard<RecursiveOutputMutex> lock(outputMutex());
  OutputState& s = state();
  if (s.holding.load(std::memory_order_relaxed) && std::this_thread::get_id() != s.holdingThread) {
    if (s.closed.load(std::memory_order_relaxed)) return;
    if (s.held.size() >= kMaxHeldBytes) {
      ++s.droppedHeld;
      return;
    }
    append(s.held);
    return;
  }
  ConsoleColour after = restore ? s.colour : ConsoleColour::White;
  setColourLocked(colour);
  append(s.pending);
  afterPrint();
  setColourLocked(after);
}

void printInColour(ConsoleColour colour, bool restore, const char* format, va_list args) {
  printInColour(colour, restore, [&](std::string& out) { appendFormatted(out, format, args); });
}

}  // namespace

void printColoured(ConsoleColour colour, const char* format, ...) {
  va_list args;
  va_start(args, format);
  printInColour(colour, false, format, args);
  va_end(args);
}

void printColouredRestoring(ConsoleColour colour, const char* format, ...) {
  va_list args;
  va_start(args, format);
  printInColour(colour, true, format, args);
  va_end(args);
}

void printColouredText(ConsoleColour colour, std::string_view text) {
  printInColour(colour, false, [text](std::string& out) { out.append(text); });
}

void holdLinesFromOtherThreads() {
  std::lock_guard<RecursiveOutputMutex> lock(outputMutex());
  state().holdingThread = std::this_thread::get_id();
  state().holding.store(true);
}

namespace {

// Moves the held lines to the output (lock held), then a line saying how many were dropped;
// the memory of a flood is given back.
void appendHeldLocked(OutputState& s) {
  s.pending.append(s.held);
  if (s.droppedHeld != 0) {
    s.pending.append(std::to_string(s.droppedHeld));
    s.pending.append(s.droppedHeld == 1 ? " line" : " lines");
    s.pending.append(
        " from the extension's threads dropped: more than 16 MiB of them came before this point\n");
    s.droppedHeld = 0;
  }
  if (s.held.capacity() > kMaxHeldBytes / 4) {
    std::string().swap(s.held);
  } else {
    s.held.clear();
  }
}

}  // namespace

void releaseHeldLines() {
  if (!state().holding.load(std::memory_order_relaxed)) return;
  std::lock_guard<RecursiveOutputMutex> lock(outputMutex());
  appendHeldLocked(state());
  afterPrint();
}

void printNotice(const char* text) { printColoured(ConsoleColour::DarkYellow, "%s\n\n", text); }

void printClosingNote(std::string_view note) {
  std::lock_guard<RecursiveOutputMutex> lock(outputMutex());
  if (!note.empty()) {
    setColourLocked(ConsoleColour::DarkGray);
    state().pending.append(note);
    state().pending.push_back('\n');
    afterPrint();
  }
  setColourLocked(ConsoleColour::White);
  state().pending.push_back('\n');
  afterPrint();
}

void printNotice(const char* text, std::string_view note) {
  if (note.empty()) return printNotice(text);  // the same bytes, colours included, as ever
  std::lock_guard<RecursiveOutputMutex> lock(outputMutex());
  printColoured(ConsoleColour::DarkYellow, "%s\n", text);
  printClosingNote(note);
}

// printColoured(DarkCyan, "Execution time: %lf ms\n\n", milliseconds), without parsing the
// format: it runs once per call. Warnings and a note go between the time and the empty line.
void printExecutionTime(double milliseconds, std::string_view note, std::string_view warnings) {
  std::lock_guard<RecursiveOutputMutex> lock(outputMutex());
  setColourLocked(ConsoleColour::DarkCyan);
  state().pending.append("Execution time: ");
  appendFixed(state().pending, milliseconds);
  const bool more = !note.empty() || !warnings.empty();
  state().pending.append(more ? " ms\n" : " ms\n\n");
  afterPrint();
  if (!warnings.empty()) {
    setColourLocked(ConsoleColour::DarkYellow);
    state().pending.append(warnings);
    afterPrint();
  }
  if (more) printClosingNote(note);
  setColourLocked(ConsoleColour::White);
}

void printEcho(const std::string& text, const char* suffix) {
  std::lock_guard<RecursiveOutputMutex> lock(outputMutex());
  setColourLocked(ConsoleColour::White);
  state().pending.append(text);
  state().pending.append(suffix);
  state().pending.push_back('\n');
  afterPrint();
  setColourLocked(ConsoleColour::White);
}

void moveCursorUp() {
  std::lock_guard<RecursiveOutputMutex> lock(outputMutex());
  if (state().settings.terminalControls) {
    state().pending.append("\x1b[A");
    afterPrint();
  } else {
    flushLocked();
    platform::moveNativeCursorUp();
  }
}

void setWindowTitle(const char* title) {
  std::lock_guard<RecursiveOutputMutex> lock(outputMutex());
  if (!state().settings.terminalControls) {
    platform::setNativeWindowTitle(title);  // a console window of its own, where there is one
    return;
  }
  state().pending.append("\x1b]0;");
  state().pending.append(title);
  state().pending.append("\x07");
  afterPrint();
}

void printLastWords(ConsoleColour colour, std::string_view text) {
  std::lock_guard<RecursiveOutputMutex> lock(outputMutex());
  OutputState& s = state();
  const bool closed = s.closed.exchange(false);
  s.holding.store(false);  // said at once, from this thread
  printColouredText(colour, text);
  flushLocked();
  s.closed.store(closed);
}

void closeOutput() {
  std::lock_guard<RecursiveOutputMutex> lock(outputMutex());
  appendHeldLocked(state());
  flushLocked();
  state().closed.store(true);
}

bool outputClosed() { return state().closed.load(std::memory_order_relaxed); }

int outputWriteError() { return state().writeError.load(std::memory_order_relaxed); }

void beginWaiting(void (*wake)()) {
  std::lock_guard<RecursiveOutputMutex> lock(outputMutex());
  flushLocked();
  state().waiter = std::this_thread::get_id();
  state().wake.store(wake, std::memory_order_relaxed);
  state().waiting.store(true, std::memory_order_relaxed);
}

void endWaiting() {
  // No lock round trip: see OutputState::waiting.
  state().waiting.store(false, std::memory_order_release);
  state().wake.store(nullptr, std::memory_order_release);
}
