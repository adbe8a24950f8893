// The operating-system layer: the only interface through which portable code reaches the OS.
//
// Implementations live in platform-posix.cc and platform-win32.cc (one of the two is compiled),
// large_pages-*.cc (adviseLargePages, prefaultPages), clock.cc (elapsedMilliseconds) and
// session_end.cc (setInsideExtensionCall). Everything here is called from the main thread,
// except: writeOutput, setNativeConsoleAttribute and moveNativeCursorUp, which the output module
// calls under its own lock from whichever thread prints (an extension's threads too, through
// the callback); flushRuntimeOutput, on the thread that leaves an extension's code;
// interruptRequested and the function inputWaitWake answers, safe from any thread; and the
// `flushAtOnce` of installTerminationHandlers, which the platform calls from a thread of its own.
#ifndef INVOKEMODULE_PLATFORM_PLATFORM_H_
#define INVOKEMODULE_PLATFORM_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// --- Console -------------------------------------------------------------------------

// Window cosmetics done once at start-up: code pages, icon, title, cursor, buffer, palette,
// font, close item. Harmless no-op where there is no such console (POSIX, redirected output).
void setupConsoleWindow();

bool outputIsTerminal();
bool inputIsTerminal();

// True when text colours are set through a native console attribute call rather than by
// escape sequences in the byte stream (a real Windows console).
bool hasNativeConsoleAttributes();

// Sets the native console text attribute (Windows console encoding). Only meaningful when
// hasNativeConsoleAttributes() is true; the result is ignored by callers.
void setNativeConsoleAttribute(std::uint16_t attribute);

// Sets the title of the native console window. No-op without a native console.
void setNativeWindowTitle(const char* title);

// Moves the native console cursor up one row in the same column. No-op without a native console.
void moveNativeCursorUp();

// Writes all bytes to standard output. Answers 0, or the system's error code of the write
// that failed.
int writeOutput(const char* data, std::size_t size);

// The system's text for an error code that writeOutput answered.
std::string errorText(int code);

// Opens the null device on each standard descriptor (handle) that is closed, so that no file
// opened later takes its place and receives the console text or is read as commands.
void openNullDeviceOnClosedStandardStreams();

// Writes all bytes to standard error, unbuffered; failures are ignored.
void writeErrorOutput(const char* data, std::size_t size);

// Flushes the C runtime's own standard output stream, which an extension may have written to.
void flushRuntimeOutput();

// Reads one line of input without its line end into `line`, converted to UTF-8. On a
// terminal an interrupt while typing discards the line and reading starts afresh.
// Returns false at end of input or on a read error.
bool readInputLine(std::string* line);

// Where line editing is available (an interactive terminal with an editing library), the
// completer offers the candidates for the word [wordStart, wordEnd) of the line being typed.
using LineCompleter = std::vector<std::string> (*)(const std::string& line, std::size_t wordStart,
                                                   std::size_t wordEnd);
void setLineCompleter(LineCompleter completer);

// Where the line editor redraws the line being typed, the function that tells the waiting
// main thread that output has arrived (safe from any thread, takes no lock); else null, and
// output may be written at once while the main thread waits.
void (*inputWaitWake())();

// What the line editor calls, between clearing the line being typed and drawing it again,
// to write the output that has arrived.
void setOutputDrain(void (*drain)());

// Discards input typed ahead on an interactive terminal or console; nothing on a pipe or file.
void discardPendingInput();

// --- Interrupts ----------------------------------------------------------------------

// Catches the interrupt key (Ctrl-C) of an interactive terminal or console, so that it
// interrupts running scripts instead of ending the program. Nothing on a pipe or file.
void installInterruptHandler();

// Catches the signals that end the session (POSIX: SIGTERM, SIGHUP, and SIGINT when input is
// not a terminal). The main thread learns of one through terminationSignal() at its next step
// and in its waits, which end early. When it stays inside code of an extension or library
// for a moment (see session_end.h), `flushAtOnce` is called from another thread and the
// process ends with 128 + the signal's number.
void installTerminationHandlers(void (*flushAtOnce)());
int terminationSignal();  // the signal's number, or 0

// Brackets, on the main thread, code of an extension or library that may never return: calls,
// start-up and clean-up code, and what runs after the session has ended. Brackets may nest.
void setInsideExtensionCall(bool inside);

// Whether an interrupt arrived since the last clearInterrupt(). Safe from any thread.
bool interruptRequested();
void clearInterrupt();

// --- Time ----------------------------------------------------------------------------

// A monotonic high-resolution counter and its ticks per second.
std::int64_t counter();
std::int64_t counterFrequency();

// (end - start) * 1000.0 / frequency, each converted to double first.
double elapsedMilliseconds(std::int64_t start, std::int64_t end, std::int64_t frequency);

// Blocks the calling thread for about `milliseconds`; returns early on an interrupt or a
// termination signal.
void sleepMilliseconds(std::uint32_t milliseconds);

// --- Memory --------------------------------------------------------------------------

// Asks for large pages (2 MiB where the system offers them to a program) for the whole large
// pages that fit inside a block about to be filled, so that filling it takes a few page faults
// instead of one per small page. Worth it for blocks of some MiB; a hint that may do nothing.
void adviseLargePages(void* block, std::size_t size);

// Has the system map the pages of a block of some MiB about to be filled in one call, rather
// than one page fault per page as the filling reaches it. Smaller blocks are left alone. A
// hint that may do nothing: the faults then come as usual.
void prefaultPages(void* block, std::size_t size);

// --- Files ---------------------------------------------------------------------------

enum class FileLookup { Found, NotFound };

// Looks a script path up. On success `openPath` is the path to open: the path itself, or, where
// the platform accepts wildcards, the first match in the directory the path names. On failure
// `reason`, when given, receives the system's text for why (a NUL byte in the path is an
// invalid name).
FileLookup lookupFile(const std::string& path, std::string* openPath, std::string* reason = nullptr);

// `path` as the lookup resolves it: a relative path joined to the current directory.
std::string resolvedPath(const std::string& path);

// The entries of a directory ("" is the current one), directories marked by a trailing '/'.
// "." and ".." are left out. Returns false when the directory cannot be read.
bool listDirectory(const std::string& directory, std::vector<std::string>* entries);

// What readWholeFile answers for a path that names neither a regular file nor a pipe.
inline constexpr const char* kNotAFileOrPipe = "not a regular file or pipe";

// Reads a whole regular file or pipe. Returns false when it cannot be opened or read, or names
// anything else (a directory, a device); `reason`, when given, then receives why.
bool readWholeFile(const std::string& path, std::string* contents, std::string* reason = nullptr);

// Creates or replaces a file with `contents`. Returns false when it cannot be written.
bool writeWholeFile(const std::string& path, const std::string& contents);

}  // namespace platform

#endif  // INVOKEMODULE_PLATFORM_PLATFORM_H_
