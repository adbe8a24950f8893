// Child processes on Windows: CreateProcessW with a pipe read by a thread, a timed wait,
// TerminateProcess.
#include "platform/child_process.h"

#include <windows.h>

#include <atomic>

namespace platform {
namespace {

std::atomic<bool> runInterruptFlag{false};

BOOL WINAPI onRunControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  runInterruptFlag.store(true);
  return TRUE;
}

std::wstring wide(const std::string& text) {
  if (text.empty()) return {};
  int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length);
  return out;
}

// One argument quoted so that the child's runtime reads it back as it was: backslashes are
// literal unless they come before a quote, where each is doubled.
void appendQuoted(std::wstring& line, const std::wstring& argument) {
  line.push_back(L'"');
  std::size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    line.push_back(c);
  }
  line.append(backslashes * 2, L'\\');
  line.push_back(L'"');
}

struct PipeReader {
  HANDLE pipe;
  std::string output;
};

DWORD WINAPI readPipe(void* context) {
  auto* reader = static_cast<PipeReader*>(context);
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(reader->pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    reader->output.append(buffer, got);
  }
  return 0;
}

}  // namespace

const char* platformTag() { return sizeof(void*) == 8 ? "win64" : "win32"; }

std::string executablePath() {
  wchar_t path[32768];
  DWORD length = GetModuleFileNameW(nullptr, path, 32768);
  if (length == 0 || length >= 32768) return {};
  int size = WideCharToMultiByte(CP_UTF8, 0, path, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, path, static_cast<int>(length), out.data(), size, nullptr, nullptr);
  return out;
}

void setEnvironmentVariable(const char* name, const char* value) {
  SetEnvironmentVariableW(wide(name).c_str(), wide(value).c_str());
}

void installRunInterruptHandler() { SetConsoleCtrlHandler(onRunControl, TRUE); }

bool runInterrupted() { return runInterruptFlag.load(); }

std::string signalName(int) { return {}; }

ChildRun runChild(const std::vector<std::string>& arguments, std::int64_t timeoutMilliseconds) {
  ChildRun run;
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return run;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  HANDLE nullInput = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                 OPEN_EXISTING, 0, nullptr);
  std::wstring commandLine;
  for (const std::string& argument : arguments) {
    if (!commandLine.empty()) commandLine.push_back(L' ');
    appendQuoted(commandLine, wide(argument));
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullInput;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  PROCESS_INFORMATION process{};
  BOOL started = CreateProcessW(wide(arguments[0]).c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                                nullptr, nullptr, &startup, &process);
  CloseHandle(writeEnd);
  if (nullInput != INVALID_HANDLE_VALUE) CloseHandle(nullInput);
  if (!started) {
    CloseHandle(readEnd);
    return run;
  }
  CloseHandle(process.hThread);

  // The pipe is read on a thread of its own until every writer is gone, so the wait below
  // can watch the deadline and the interrupt flag.
  PipeReader reader{readEnd, {}};
  HANDLE readerThread = CreateThread(nullptr, 0, readPipe, &reader, 0, nullptr);
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMilliseconds);
  for (;;) {
    if (WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0) break;
    if (runInterruptFlag.load() || GetTickCount64() >= deadline) {
      run.ending = runInterruptFlag.load() ? ChildRun::Interrupted : ChildRun::TimedOut;
      TerminateProcess(process.hProcess, 1);
      WaitForSingleObject(process.hProcess, INFINITE);
      break;
    }
  }
  // The child is gone; a process it started may still hold the pipe: stop reading then.
  if (readerThread == nullptr) {
    readPipe(&reader);  // no thread: read what is left, the writers being gone
  } else {
    if (WaitForSingleObject(readerThread, 1000) != WAIT_OBJECT_0) CancelSynchronousIo(readerThread);
    WaitForSingleObject(readerThread, INFINITE);
    CloseHandle(readerThread);
  }
  CloseHandle(readEnd);
  run.output = std::move(reader.output);
  if (run.ending == ChildRun::NotStarted) {
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    run.ending = ChildRun::Exited;
    run.code = code;
  }
  CloseHandle(process.hProcess);
  return run;
}

}  // namespace platform
