// The operating-system layer on Windows: console window, console or redirected I/O, clock, files.
#include "platform/platform.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/crash_guard.h"
#include "support/line_splitter.h"
#include "platform/session_end.h"

namespace platform {

namespace {

static_assert(sizeof(CONSOLE_SCREEN_BUFFER_INFOEX) == 96, "screen-buffer record size");
static_assert(sizeof(CONSOLE_FONT_INFOEX) == 84, "font record size");

constexpr UINT kUtf8CodePage = 65001;
constexpr COLORREF kBackgroundShade = 0x191919;  // palette entry 0: a very dark grey

// The small window icon, 16 rows of 16 pixels, leftmost pixel in the most significant bit;
// a set bit is white. It shows a console window with a prompt and a cursor.
constexpr WORD kIconPicture[16] = {
    0x0000, 0x7FFE, 0x7FFE, 0x4002, 0x4002, 0x4802, 0x4402, 0x4202,
    0x4402, 0x4802, 0x4002, 0x40F2, 0x4002, 0x4002, 0x7FFE, 0x0000,
};

// Formats wide text into a 32-unit buffer (terminator included). Answers the number of units
// written, or -1 when formatting fails or the text does not fit.
int formatWide32(wchar_t (&buffer)[32], const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  int written = std::vswprintf(buffer, 32, format, args);
  va_end(args);
  if (written < 0) {
    buffer[0] = L'\0';
    return -1;
  }
  return written;
}

HANDLE standardOutput() { return GetStdHandle(STD_OUTPUT_HANDLE); }
HANDLE standardInput() { return GetStdHandle(STD_INPUT_HANDLE); }

bool isConsoleHandle(HANDLE handle) {
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

// The standard handles do not change while the program runs, so their kind is looked up once.
bool outputIsConsole() {
  static const bool console = isConsoleHandle(standardOutput());
  return console;
}

bool inputIsConsole() {
  static const bool console = isConsoleHandle(standardInput());
  return console;
}

// --- Interrupts --------------------------------------------------------------------------

std::atomic<bool> interruptFlag{false};
HANDLE interruptEvent = nullptr;  // manual-reset; set with the flag, so a pause ends at once

// --- Ending the session on a console event --------------------------------------------------

// The status a console event ends the session with is 128 + this number, as for the POSIX
// signal each stands for: Ctrl-C 2 (130), Ctrl-Break 21, the C runtime's SIGBREAK (149),
// closing the console, logging off or shutting down 1, a hang-up (129).
std::atomic<int> terminationNumber{0};
void (*finalFlush)() = nullptr;
HANDLE mainThread = nullptr;

[[noreturn]] void endAtOnce(int number, EndNow how = EndNow::Flushed) {
  if (finalFlush != nullptr && how == EndNow::Flushed) finalFlush();
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(128 + number));
  for (;;) Sleep(INFINITE);
}

// Runs on a thread the system starts. The main thread, when in the host's own code, sees the
// event at its next step (a read of redirected input is cancelled, a pause ends) and ends as
// `exit` does. When it stays in code of an extension or library, which may never return, the
// session ends here with what the host holds flushed; when it is stuck in the host's own code,
// here without. The handler does not return meanwhile: for a closed console the system would
// end the process as soon as it did.
BOOL WINAPI onTerminationEvent(DWORD event) {
  int number = 0;
  switch (event) {
    case CTRL_C_EVENT:
      if (inputIsConsole()) return FALSE;  // typed: interrupts scripts or abandons a call
      number = 2;
      break;
    case CTRL_BREAK_EVENT:
      number = 21;
      break;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      number = 1;
      break;
    default:
      return FALSE;
  }
  int expected = 0;
  if (!terminationNumber.compare_exchange_strong(expected, number)) return TRUE;
  if (interruptEvent != nullptr) SetEvent(interruptEvent);
  if (mainThread != nullptr) CancelSynchronousIo(mainThread);
  endAtOnce(number, waitUntilTheSessionMustEndNow());
}

BOOL WINAPI onConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT) return FALSE;  // anything else keeps its default handling
  // A second Ctrl-C while an abandoned call has not left yet (its thread waits in the system).
  if (abandonPending()) endAtOnce(2);
  interruptFlag.store(true);
  if (interruptEvent != nullptr) SetEvent(interruptEvent);
  abandonGuardedCall(2, nullptr, nullptr);  // during a call, Ctrl-C also abandons it
  return TRUE;
}

void resetInterrupt() {
  interruptFlag.store(false);
  if (interruptEvent != nullptr) ResetEvent(interruptEvent);
}

// --- Timer resolution --------------------------------------------------------------------

// Asks for 1 ms scheduler ticks, so that pauses of a few milliseconds last what they should
// instead of a multiple of the default 15.6 ms tick. winmm is loaded at run time so that the
// program does not depend on it when it is absent.
void requestFineTimerResolution() {
  HMODULE winmm = LoadLibraryExA("winmm.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (winmm == nullptr) winmm = LoadLibraryA("winmm.dll");
  if (winmm == nullptr) return;
  using TimeBeginPeriod = UINT(WINAPI*)(UINT);
  auto timeBeginPeriod =
      reinterpret_cast<TimeBeginPeriod>(reinterpret_cast<void*>(GetProcAddress(winmm, "timeBeginPeriod")));
  if (timeBeginPeriod != nullptr) timeBeginPeriod(1);
  // winmm stays loaded: the setting lasts as long as the process.
}

// --- Console window ----------------------------------------------------------------------

void removeCloseItem(HWND window) {
  HMENU menu = GetSystemMenu(window, FALSE);
  if (menu != nullptr) RemoveMenu(menu, SC_CLOSE, MF_BYCOMMAND);
}

void setSmallIcon(HWND window) {
  BYTE andMask[32] = {};  // every pixel opaque
  BYTE xorMask[32];
  for (int row = 0; row < 16; ++row) {
    xorMask[2 * row] = static_cast<BYTE>(kIconPicture[row] >> 8);
    xorMask[2 * row + 1] = static_cast<BYTE>(kIconPicture[row] & 0xFF);
  }
  HICON icon = CreateIcon(nullptr, 16, 16, 1, 1, andMask, xorMask);
  if (icon != nullptr) SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
}

// Buffer 120 x 9999, window 120 x 60, palette entry 0 a dark grey. The current attribute is
// kept: the first message sets its own colour, and when colours are off (NO_COLOR) an
// attribute of 0 would print black on black.
void setScreenBuffer(HANDLE output) {
  CONSOLE_SCREEN_BUFFER_INFOEX info = {};
  info.cbSize = sizeof info;
  if (!GetConsoleScreenBufferInfoEx(output, &info)) return;  // nothing read, nothing to write back
  info.dwSize.X = 120;
  info.dwSize.Y = 9999;
  info.srWindow.Left = 0;
  info.srWindow.Top = 0;
  info.srWindow.Right = 120;
  info.srWindow.Bottom = 60;
  info.dwMaximumWindowSize.X = 120;
  info.dwMaximumWindowSize.Y = 9999;
  info.ColorTable[0] = kBackgroundShade;
  SetConsoleScreenBufferInfoEx(output, &info);
}

// Wine's console host, when it drives a Unix terminal, crashes on a font change and takes the
// program's console with it; the font is only cosmetic, so it is left alone there.
bool runningUnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

void setFont(HANDLE output) {
  CONSOLE_FONT_INFOEX font = {};
  font.cbSize = sizeof font;
  font.nFont = 0;
  font.dwFontSize.X = 8;
  font.dwFontSize.Y = 14;
  font.FontFamily = 0;
  font.FontWeight = 400;
  if (formatWide32(font.FaceName, L"%ls", L"Lucida Console") < 0) return;
  if (!runningUnderWine()) SetCurrentConsoleFontEx(output, FALSE, &font);
}

// --- Output ------------------------------------------------------------------------------

// How many bytes at the end of `data` begin a UTF-8 sequence that is not complete yet.
std::size_t incompleteUtf8Tail(const char* data, std::size_t size) {
  for (std::size_t back = 1; back <= 3 && back <= size; ++back) {
    auto byte = static_cast<unsigned char>(data[size - back]);
    if ((byte & 0xC0) == 0x80) continue;  // a continuation byte: look further back
    std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
    return length > back ? back : 0;
  }
  return 0;
}

// Writes UTF-8 to a console as UTF-16, so that every character shows whatever the console's
// code page. Each write is whole text (one print), so no character is cut between writes;
// invalid bytes show as the replacement character.
int writeConsoleUtf8(HANDLE output, const char* data, std::size_t size) {
  static std::wstring wide;
  while (size > 0) {
    int chunk = static_cast<int>(size);
    if (size > (1 << 20)) {  // converted in parts, each ending on a character boundary
      chunk = 1 << 20;
      chunk -= static_cast<int>(incompleteUtf8Tail(data, static_cast<std::size_t>(chunk)));
    }
    int units = MultiByteToWideChar(CP_UTF8, 0, data, chunk, nullptr, 0);
    wide.resize(static_cast<std::size_t>(units));
    if (units > 0) MultiByteToWideChar(CP_UTF8, 0, data, chunk, wide.data(), units);
    // The console takes at most a few thousand units at once on older systems.
    for (std::size_t done = 0; done < wide.size();) {
      DWORD part = static_cast<DWORD>(wide.size() - done < 8192 ? wide.size() - done : 8192);
      if (part == 8192 && IS_HIGH_SURROGATE(wide[done + part - 1])) --part;  // keep pairs whole
      DWORD written = 0;
      if (!WriteConsoleW(output, wide.data() + done, part, &written, nullptr) || written == 0) {
        DWORD error = GetLastError();
        return error != 0 ? static_cast<int>(error) : ERROR_WRITE_FAULT;
      }
      done += written;
    }
    data += chunk;
    size -= static_cast<std::size_t>(chunk);
  }
  return 0;
}

// Answers 0, or the system's error code of the write that failed.
int writeHandle(HANDLE output, const char* data, std::size_t size) {
  while (size > 0) {
    DWORD part = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(output, data, part, &written, nullptr) || written == 0) {
      DWORD error = GetLastError();
      return error != 0 ? static_cast<int>(error) : ERROR_WRITE_FAULT;
    }
    data += written;
    size -= written;
  }
  return 0;
}

// --- Input -------------------------------------------------------------------------------

// Lines of UTF-8 bytes from a redirected handle (pipe or file), cut by the portable splitter.
class RedirectedReader {
 public:
  bool readLine(HANDLE input, std::string* line) { return splitter_.nextLine(line, &readHandle, input); }

 private:
  // End of input and a failed read (a broken pipe among them) both end the input for good.
  static std::size_t readHandle(void* input, char* into, std::size_t size) {
    DWORD got = 0;
    if (!ReadFile(static_cast<HANDLE>(input), into, static_cast<DWORD>(size), &got, nullptr)) return 0;
    return got;
  }

  support::LineSplitter splitter_{adviseLargePages};
};

RedirectedReader& redirectedReader() {
  static RedirectedReader reader;
  return reader;
}

// Waits briefly for the control handler, which runs on a thread of its own, to report an
// interrupt that has already ended a console read.
bool interruptArrives() {
  if (interruptFlag.load()) return true;
  if (interruptEvent != nullptr) WaitForSingleObject(interruptEvent, 200);
  return interruptFlag.load();
}

// One typed line, read until its line end however long it is, as UTF-8 without the line end.
// Ctrl-C while typing drops the line and reading starts afresh; Ctrl-Z alone on a line, a
// failed read or a closed console end the input.
bool readConsoleLine(HANDLE input, std::string* line) {
  static std::wstring wide;
  wide.clear();
  wchar_t chunk[4096];
  for (;;) {
    DWORD count = 0;
    BOOL ok = ReadConsoleW(input, chunk, sizeof chunk / sizeof chunk[0], &count, nullptr);
    if (!ok || count == 0) {
      if ((ok || GetLastError() == ERROR_OPERATION_ABORTED) && interruptArrives()) {
        resetInterrupt();
        wide.clear();
        if (outputIsConsole()) writeOutput("\n", 1);  // the next line starts below the dropped one
        continue;
      }
      return false;
    }
    wide.append(chunk, count);
    if (wide.back() == L'\n') break;
  }
  wide.pop_back();
  if (!wide.empty() && wide.back() == L'\r') wide.pop_back();
  if (wide == L"\x1a") return false;  // Ctrl-Z: the console's end of input

  line->clear();
  if (wide.empty()) return true;
  int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr,
                                 nullptr);
  if (size <= 0) return true;  // a failed conversion gives an empty line
  line->resize(static_cast<std::size_t>(size));
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), line->data(), size, nullptr,
                      nullptr);
  return true;
}

bool hasWildcard(const std::string& path) { return path.find_first_of("*?") != std::string::npos; }

// The directory part of a path, with its separator: "a\b\c*" gives "a\b\", "C:x*" gives "C:".
std::string directoryPart(const std::string& path) {
  std::size_t end = path.find_last_of("\\/:");
  return end == std::string::npos ? std::string() : path.substr(0, end + 1);
}

bool isDotEntry(const wchar_t* name) { return std::wcscmp(name, L".") == 0 || std::wcscmp(name, L"..") == 0; }

// Paths come from command text, which is UTF-8, and go to the wide file API, so that every
// file name can be reached whatever the system's ANSI code page. Bytes that are not valid
// UTF-8 (a script saved in the ANSI code page) are taken in that code page instead, as the
// narrow API would take them.
UINT pathCodePage(const std::string& path) {
  if (path.empty()) return CP_UTF8;
  int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()),
                                  nullptr, 0);
  return units > 0 ? CP_UTF8 : CP_ACP;
}

std::wstring widen(const std::string& text, UINT codePage) {
  std::wstring wide;
  int units = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (units <= 0) return wide;
  wide.resize(static_cast<std::size_t>(units));
  MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(), units);
  return wide;
}

std::string narrow(const wchar_t* text, UINT codePage) {
  std::string bytes;
  int size = WideCharToMultiByte(codePage, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return bytes;
  bytes.resize(static_cast<std::size_t>(size));
  WideCharToMultiByte(codePage, 0, text, -1, bytes.data(), size, nullptr, nullptr);
  bytes.pop_back();  // the terminator
  return bytes;
}

// The system's text for an error code, in UTF-8, without its closing line end.
std::string systemErrorText(DWORD code) {
  wchar_t* text = nullptr;
  DWORD units = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message = units > 0 && text != nullptr ? narrow(text, CP_UTF8) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
    message.pop_back();
  }
  return message.empty() ? "error " + std::to_string(code) : message;
}

void setReason(std::string* reason, DWORD code) {
  if (reason != nullptr) *reason = systemErrorText(code);
}

// A path holding a NUL byte names no file: the system would read only the part before it.
bool holdsNul(const std::string& path) { return path.find('\0') != std::string::npos; }

}  // namespace

// --- Console -----------------------------------------------------------------------------

void setupConsoleWindow() {
  HWND window = GetConsoleWindow();
  if (window != nullptr) removeCloseItem(window);
  HANDLE output = standardOutput();
  SetConsoleCP(kUtf8CodePage);
  SetConsoleOutputCP(kUtf8CodePage);
  if (window != nullptr) setSmallIcon(window);
  CONSOLE_CURSOR_INFO cursor = {20, TRUE};
  SetConsoleCursorInfo(output, &cursor);
  setScreenBuffer(output);
  setFont(output);
  requestFineTimerResolution();
  // The host writes bare line feeds; an extension that prints through the same C runtime
  // must not turn its own into CR LF, or a redirected transcript would mix both.
  _setmode(_fileno(stdout), _O_BINARY);
}

// Sets the console window's title from UTF-8 text. Only the portable console code knows the
// title, so it hands it over here after setupConsoleWindow.
void setNativeWindowTitle(const char* title) {
  int units = MultiByteToWideChar(CP_UTF8, 0, title, -1, nullptr, 0);
  if (units <= 0) return;
  std::wstring wide(static_cast<std::size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, title, -1, wide.data(), units);
  SetConsoleTitleW(wide.c_str());
}

bool outputIsTerminal() { return outputIsConsole(); }
bool inputIsTerminal() { return inputIsConsole(); }

bool hasNativeConsoleAttributes() { return outputIsConsole(); }

void setNativeConsoleAttribute(std::uint16_t attribute) {
  SetConsoleTextAttribute(standardOutput(), attribute);
}

void moveNativeCursorUp() {
  HANDLE output = standardOutput();
  CONSOLE_SCREEN_BUFFER_INFO info;
  COORD target = {0, -1};  // refused by the console when the position cannot be read
  if (GetConsoleScreenBufferInfo(output, &info)) {
    target.X = info.dwCursorPosition.X;
    target.Y = static_cast<SHORT>(info.dwCursorPosition.Y - 1);
  }
  SetConsoleCursorPosition(output, target);
}

int writeOutput(const char* data, std::size_t size) {
  if (outputIsConsole()) return writeConsoleUtf8(standardOutput(), data, size);
  return writeHandle(standardOutput(), data, size);
}

std::string errorText(int code) {
  wchar_t* text = nullptr;
  DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string result = length > 0 ? narrow(text, CP_UTF8) : "error " + std::to_string(code);
  if (text != nullptr) LocalFree(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' ')) {
    result.pop_back();
  }
  return result;
}

void openNullDeviceOnClosedStandardStreams() {
  const DWORD kinds[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  for (int fd = 0; fd <= 2; ++fd) {
    HANDLE handle = GetStdHandle(kinds[fd]);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
      handle = CreateFileW(L"NUL", fd == 0 ? GENERIC_READ : GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
      if (handle != INVALID_HANDLE_VALUE) SetStdHandle(kinds[fd], handle);
    }
    // The C runtime's descriptor too, which an extension's own files would otherwise take.
    if (_get_osfhandle(fd) < 0) {
      int opened = _open("NUL", fd == 0 ? _O_RDONLY : _O_WRONLY);
      if (opened >= 0 && opened != fd) {
        _dup2(opened, fd);
        _close(opened);
      }
    }
  }
}

// The console's own line input is left as it is: output may be written at once meanwhile.
void (*inputWaitWake())() { return nullptr; }
void setOutputDrain(void (*)()) {}

void installTerminationHandlers(void (*flushAtOnce)()) {
  finalFlush = flushAtOnce;
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &mainThread, THREAD_TERMINATE,
                  FALSE, 0);
  // A pause waits on this event, which the handler sets to end it early.
  if (interruptEvent == nullptr) interruptEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(onTerminationEvent, TRUE);  // asked before the interrupt handler
}

int terminationSignal() { return terminationNumber.load(); }

void writeErrorOutput(const char* data, std::size_t size) {
  writeHandle(GetStdHandle(STD_ERROR_HANDLE), data, size);
}

void flushRuntimeOutput() { std::fflush(stdout); }

bool readInputLine(std::string* line) {
  resetInterrupt();  // an interrupt that arrived outside a script has nothing left to stop
  HANDLE input = standardInput();
  bool ok = inputIsConsole() ? readConsoleLine(input, line) : redirectedReader().readLine(input, line);
  resetInterrupt();
  return ok;
}

// The console's own line editing (history, F7) serves typed lines; there is no completion.
void setLineCompleter(LineCompleter) {}

void discardPendingInput() {
  if (inputIsConsole()) FlushConsoleInputBuffer(standardInput());
}

// --- Interrupts --------------------------------------------------------------------------

void installInterruptHandler() {
  if (!inputIsConsole()) return;
  if (interruptEvent == nullptr) interruptEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

bool interruptRequested() { return interruptFlag.load(); }
void clearInterrupt() { resetInterrupt(); }

// --- Time --------------------------------------------------------------------------------

std::int64_t counter() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

std::int64_t counterFrequency() {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return frequency.QuadPart;
}

void sleepMilliseconds(std::uint32_t milliseconds) {
  if (interruptEvent != nullptr) {
    WaitForSingleObject(interruptEvent, milliseconds);  // an interrupt ends the pause early
  } else {
    Sleep(milliseconds);
  }
}

// --- Files -------------------------------------------------------------------------------

FileLookup lookupFile(const std::string& path, std::string* openPath, std::string* reason) {
  if (holdsNul(path)) {
    setReason(reason, ERROR_INVALID_NAME);
    return FileLookup::NotFound;
  }
  if (path.empty()) {
    setReason(reason, ERROR_FILE_NOT_FOUND);
    return FileLookup::NotFound;
  }
  UINT codePage = pathCodePage(path);
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(widen(path, codePage).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    setReason(reason, GetLastError());
    return FileLookup::NotFound;
  }
  bool haveMatch = true;
  if (hasWildcard(path)) {
    // "." and ".." match "*" but name no file of the directory.
    while (isDotEntry(found.cFileName) && (haveMatch = FindNextFileW(search, &found) != 0)) {
    }
  }
  FindClose(search);
  if (!haveMatch) {
    setReason(reason, ERROR_FILE_NOT_FOUND);
    return FileLookup::NotFound;
  }
  *openPath = hasWildcard(path) ? directoryPart(path) + narrow(found.cFileName, codePage) : path;
  return FileLookup::Found;
}

std::string resolvedPath(const std::string& path) {
  // From a NUL byte on, the path is shown as it is; the part before it is resolved.
  const std::size_t nul = path.find('\0');
  if (nul != std::string::npos) return resolvedPath(path.substr(0, nul)) + path.substr(nul);
  if (path.empty()) return path;
  UINT codePage = pathCodePage(path);
  std::wstring wide = widen(path, codePage);
  DWORD units = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (units == 0) return path;
  std::wstring full(units, L'\0');
  if (GetFullPathNameW(wide.c_str(), units, full.data(), nullptr) == 0) return path;
  return narrow(full.c_str(), codePage);
}

bool listDirectory(const std::string& directory, std::vector<std::string>* entries) {
  UINT codePage = pathCodePage(directory);
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(widen(directory + "*", codePage).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  entries->clear();
  do {
    if (isDotEntry(found.cFileName)) continue;
    std::string name = narrow(found.cFileName, CP_UTF8);
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) name.push_back('/');
    entries->push_back(name);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return true;
}

bool readWholeFile(const std::string& path, std::string* contents, std::string* reason) {
  // Without FILE_FLAG_BACKUP_SEMANTICS a directory cannot be opened.
  if (path.empty() || holdsNul(path)) {
    setReason(reason, path.empty() ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_NAME);
    return false;
  }
  HANDLE file =
      CreateFileW(widen(path, pathCodePage(path)).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    setReason(reason, GetLastError());
    return false;
  }
  // A device (NUL, CON, a serial port) is no script: it may never end.
  DWORD kind = GetFileType(file);
  if (kind != FILE_TYPE_DISK && kind != FILE_TYPE_PIPE) {
    CloseHandle(file);
    if (reason != nullptr) *reason = kNotAFileOrPipe;
    return false;
  }
  contents->clear();
  LARGE_INTEGER size;
  if (kind == FILE_TYPE_DISK && GetFileSizeEx(file, &size) && size.QuadPart > 0) {
    contents->reserve(static_cast<std::size_t>(size.QuadPart));
  }
  char chunk[64 * 1024];
  bool ok = true;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, chunk, sizeof chunk, &got, nullptr)) {
      // A pipe whose writer has gone reports its end as a broken pipe.
      DWORD error = GetLastError();
      ok = error == ERROR_BROKEN_PIPE;
      if (!ok) setReason(reason, error);
      break;
    }
    if (got == 0) break;
    contents->append(chunk, got);
  }
  CloseHandle(file);
  return ok;
}

bool writeWholeFile(const std::string& path, const std::string& contents) {
  if (path.empty()) return false;
  HANDLE file = CreateFileW(widen(path, pathCodePage(path)).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::size_t done = 0;
  while (done < contents.size()) {
    DWORD wrote = 0;
    std::size_t left = contents.size() - done;
    DWORD part = static_cast<DWORD>(left < (1u << 20) ? left : (1u << 20));
    if (!WriteFile(file, contents.data() + done, part, &wrote, nullptr) || wrote == 0) break;
    done += wrote;
  }
  return CloseHandle(file) && done == contents.size();
}

// Large pages need a privilege programs rarely hold, and memory locked in place: none asked.
}  // namespace platform
