// Console output: the one print routine, the message colours and the generic printers.
//
// The bottom layer of the host: it uses nothing of the project but the platform layer, and
// every other module prints through it. All text goes through one process-wide output buffer. Each
// colour-set/print/colour-reset sequence is made under one recursive lock (OutputLock), so a line printed
// from an extension's own thread is never cut into another line or recoloured by it.
#ifndef INVOKEMODULE_OUTPUT_OUTPUT_H_
#define INVOKEMODULE_OUTPUT_OUTPUT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Lets the compiler check every printf-style call of the routines below against the
// directives the formatter supports. MinGW's plain `printf` means the Microsoft rules.
#if defined(__MINGW32__)
#define INVOKEMODULE_PRINTF_FORMAT(formatIndex, firstArgument) \
  __attribute__((format(gnu_printf, formatIndex, firstArgument)))
#elif defined(__GNUC__)
#define INVOKEMODULE_PRINTF_FORMAT(formatIndex, firstArgument) \
  __attribute__((format(printf, formatIndex, firstArgument)))
#else
#define INVOKEMODULE_PRINTF_FORMAT(formatIndex, firstArgument)
#endif

// A console text attribute in the Windows console encoding (foreground bits only).
enum class ConsoleColour : std::uint16_t {
  DarkGreen = 2,
  DarkCyan = 3,
  DarkMagenta = 5,
  DarkYellow = 6,
  DarkGray = 8,
  Green = 10,
  Cyan = 11,
  Red = 12,
  White = 15,
};

// How text and colours reach the user; chosen once at start-up from the platform and
// the environment (NO_COLOR, FORCE_COLOR), replaceable in tests.
struct OutputSettings {
  bool colourEscapes = false;     // colours written as SGR escape sequences
  bool nativeAttributes = false;  // colours set through the native console call
  bool terminalControls = false;  // cursor-up and window-title escapes
  bool flushEachPrint = false;    // every print reaches the console before it returns
};

OutputSettings detectOutputSettings();
void configureOutput(const OutputSettings& settings);
const OutputSettings& outputSettings();

// Sends everything written so far to the real output (or to the capture string in tests).
// When `capture` is non-null, output is appended to it instead of standard output.
void flushOutput();
void captureOutputForTesting(std::string* capture);

// The last flush, at the very end: everything held goes out and every later print, from
// any thread, is dropped. The output state itself is never destroyed, so a thread of an
// extension that prints while the process ends finds it intact.
void closeOutput();
bool outputClosed();

// After closeOutput: prints `text` in `colour` all the same, and flushes it, for what the host
// has to say as the process ends (a fault in libraries' clean-up code at exit).
void printLastWords(ConsoleColour colour, std::string_view text);

// The error code of the first write that failed, or 0. After it nothing more is written.
int outputWriteError();

// Brackets the main thread's waits for input, its pauses and its calls into an extension.
// Meanwhile text printed by other threads goes out at once; or, when `wake` is given, `wake` is called (under
// the output lock, so it must only signal) and the main thread flushes when it is woken.
void beginWaiting(void (*wake)());
void endWaiting();

// Held across a colour/print/colour sequence; recursive, so printers may be nested inside.
class OutputLock {
 public:
  OutputLock();
  ~OutputLock();
  OutputLock(const OutputLock&) = delete;
  OutputLock& operator=(const OutputLock&) = delete;
};

// printf-like: supports %s, %d, %u, %lf (fixed, six decimals), %p (upper-case hex, two digits
// per pointer byte, no prefix) and %%. Identical bytes on every platform.
void consolePrint(const char* format, ...) INVOKEMODULE_PRINTF_FORMAT(1, 2);
void setColour(ConsoleColour colour);
void printColoured(ConsoleColour colour, const char* format, ...) INVOKEMODULE_PRINTF_FORMAT(2, 3);

// printColoured(colour, "%s", text) without reading a format: for the line printed per call.
void printColouredText(ConsoleColour colour, std::string_view text);

// As printColoured, but ends by restoring the colour that was in effect before, instead of
// White: for lines printed from another thread (extension callbacks), which must not change
// the colour of what the main thread is in the middle of printing (a pause's progress).
void printColouredRestoring(ConsoleColour colour, const char* format, ...) INVOKEMODULE_PRINTF_FORMAT(2, 3);

// Appends raw bytes (no formatting) in the current colour.
void consoleWrite(const char* data, std::size_t size);

void printNotice(const char* text);
// A DarkGray line the host adds under a message to say more, when `note` is not empty, then
// the empty line that closes the message.
void printClosingNote(std::string_view note);
// "<text>" as printNotice prints it, with `note` under it.
void printNotice(const char* text, std::string_view note);
// "Execution time: <ms> ms" in DarkCyan; under it `warnings` (whole lines) in DarkYellow and
// `note` as printClosingNote prints it, then the empty line.
void printExecutionTime(double milliseconds, std::string_view note = {}, std::string_view warnings = {});
void printEcho(const std::string& text, const char* suffix);

// For a stable transcript: from now on, what the coloured printers print on any other thread
// than the calling one (callback lines from an extension's own threads) is held back, without
// colours, until releaseHeldLines() appends it in arrival order.
void holdLinesFromOtherThreads();
void releaseHeldLines();

// Moves the cursor up one row, same column (terminal escape or native console call).
void moveCursorUp();
// Sets the window title: by escape sequence on a terminal, else through the native console.
void setWindowTitle(const char* title);

#endif  // INVOKEMODULE_OUTPUT_OUTPUT_H_
