// The crash guard on Windows: the top-level (unhandled-exception) filter, which runs only after
// the extension's own handlers declined, redirects the faulting main thread to a landing point
// that jumps back to the guarded call without unwinding; frames come from walking the stack and
// names from each module's export table.
#include "platform/crash_guard.h"

#include <windows.h>

#include <malloc.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

namespace platform {

namespace {

constexpr int kMaxRawFrames = 64;
constexpr DWORD kMsvcCppException = 0xE06D7363;

struct RawFault {
  DWORD code = 0;
  ULONG_PTR access = 0;  // 0 read, 1 write, 8 execute
  ULONG_PTR address = 0;
  bool hasAddress = false;
  bool aborted = false;  // abort() through the C runtime's SIGABRT
  std::uintptr_t frames[kMaxRawFrames] = {};
  int frameCount = 0;
};

struct MainGuard {
  void* jump[5];
  volatile LONG active = 0;
  RawFault fault;
};

MainGuard mainGuard;
DWORD mainThreadId = 0;
LPTOP_LEVEL_EXCEPTION_FILTER previousFilter = nullptr;
// The landing point runs on a stack of its own: after a stack overflow the thread's own
// stack has no room left.
alignas(16) unsigned char landingStack[64 * 1024];

// Walks the stack from `context` (which it changes), innermost first.
void walkFrames(CONTEXT context, RawFault* fault) {
  fault->frameCount = 0;
#ifdef _WIN64
  for (int i = 0; i < kMaxRawFrames && context.Rip != 0; ++i) {
    fault->frames[fault->frameCount++] = static_cast<std::uintptr_t>(context.Rip);
    DWORD64 imageBase = 0;
    PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr);
    if (function == nullptr) {
      // A leaf function: the return address is on top of the stack.
      context.Rip = *reinterpret_cast<DWORD64*>(context.Rsp);
      context.Rsp += 8;
      continue;
    }
    void* handlerData = nullptr;
    DWORD64 establisher = 0;
    RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, context.Rip, function, &context, &handlerData,
                     &establisher, nullptr);
  }
#else
  // Frame-pointer chain; code built without frame pointers ends it early.
  fault->frames[fault->frameCount++] = context.Eip;
  auto* frame = reinterpret_cast<DWORD*>(context.Ebp);
  MEMORY_BASIC_INFORMATION stack;
  if (VirtualQuery(frame, &stack, sizeof stack) == 0) return;
  auto low = reinterpret_cast<std::uintptr_t>(stack.BaseAddress);
  std::uintptr_t high = low + stack.RegionSize;
  while (fault->frameCount < kMaxRawFrames) {
    auto at = reinterpret_cast<std::uintptr_t>(frame);
    if (at < low || at + 8 > high || (at & 3) != 0) break;
    DWORD returnAddress = frame[1];
    if (returnAddress == 0) break;
    fault->frames[fault->frameCount++] = returnAddress;
    auto* next = reinterpret_cast<DWORD*>(frame[0]);
    if (next <= frame) break;
    frame = next;
  }
#endif
}

// The faulting thread's context, kept for the landing point: the handlers copy it and no more,
// since after a stack overflow they run on the last few hundred bytes of the stack.
CONTEXT faultContext;

// Runs on the landing stack, so the extension's frames below the guarded call are still intact
// to be walked.
[[noreturn]] void landing() {
  walkFrames(faultContext, &mainGuard.fault);
  __builtin_longjmp(mainGuard.jump, 1);
}

// Sends the faulting main thread to the landing point, on the landing stack.
void redirectToLanding(CONTEXT* context) {
  auto top = reinterpret_cast<std::uintptr_t>(landingStack + sizeof landingStack) & ~std::uintptr_t{15};
#ifdef _WIN64
  context->Rsp = top - 8;  // as if `landing` had been called
  context->Rip = reinterpret_cast<DWORD64>(&landing);
#else
  context->Esp = top - 4;
  context->Eip = reinterpret_cast<DWORD>(&landing);
#endif
}

LONG WINAPI onUnhandledException(EXCEPTION_POINTERS* pointers) {
  if (mainGuard.active && GetCurrentThreadId() == mainThreadId) {
    EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    // An MSVC C++ throw is not continuable; resuming at the landing point is still sound,
    // since nothing of the extension's code runs again.
    record->ExceptionFlags &= ~static_cast<DWORD>(EXCEPTION_NONCONTINUABLE);
    RawFault& fault = mainGuard.fault;
    fault.code = record->ExceptionCode;
    fault.aborted = false;
    fault.hasAddress = record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION &&
                       record->NumberParameters >= 2;
    if (fault.hasAddress) {
      fault.access = record->ExceptionInformation[0];
      fault.address = record->ExceptionInformation[1];
    }
    faultContext = *pointers->ContextRecord;
    mainGuard.active = 0;
    redirectToLanding(pointers->ContextRecord);
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  return previousFilter != nullptr ? previousFilter(pointers) : EXCEPTION_CONTINUE_SEARCH;
}

// A stack overflow leaves too little stack for the extension's handlers or the top-level
// filter to run: it is taken at once, as the last vectored handler.
LONG CALLBACK onStackOverflow(EXCEPTION_POINTERS* pointers) {
  if (pointers->ExceptionRecord->ExceptionCode != EXCEPTION_STACK_OVERFLOW) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  return onUnhandledException(pointers);
}

// abort() in the C runtime the extension shares with the host raises SIGABRT.
void onAbort(int) {
  if (mainGuard.active && GetCurrentThreadId() == mainThreadId) {
    RtlCaptureContext(&faultContext);
    mainGuard.fault.code = 0;
    mainGuard.fault.aborted = true;
    mainGuard.fault.hasAddress = false;
    mainGuard.active = 0;
    landing();
  }
  signal(SIGABRT, SIG_DFL);
  raise(SIGABRT);
}

void installFaultHandlers() {
  static const bool installed = [] {
    mainThreadId = GetCurrentThreadId();
    previousFilter = SetUnhandledExceptionFilter(onUnhandledException);
    AddVectoredExceptionHandler(0, onStackOverflow);
    signal(SIGABRT, onAbort);
    // Leave room for the filter to run after a stack overflow.
    ULONG reserve = 64 * 1024;
    SetThreadStackGuarantee(&reserve);
    return true;
  }();
  (void)installed;
}

void appendHex(std::string& text, std::uintptr_t value) {
  char digits[2 + 2 * sizeof value + 1];
  std::snprintf(digits, sizeof digits, "0x%llx", static_cast<unsigned long long>(value));
  text += digits;
}

std::string describeException(const RawFault& fault) {
  if (fault.aborted) return "abort (SIGABRT)";
  std::string code;
  appendHex(code, fault.code);
  switch (fault.code) {
    case EXCEPTION_ACCESS_VIOLATION: {
      std::string what = "access violation (" + code + ")";
      if (fault.hasAddress) {
        what += fault.access == 1 ? " writing address " : fault.access == 8 ? " executing address "
                                                                           : " reading address ";
        appendHex(what, fault.address);
      }
      return what;
    }
    case EXCEPTION_STACK_OVERFLOW:
      return "stack overflow";
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
      return "division by zero (" + code + ")";
    case EXCEPTION_ILLEGAL_INSTRUCTION:
      return "illegal instruction (" + code + ")";
    case EXCEPTION_BREAKPOINT:
      return "breakpoint (" + code + ")";
    case kMsvcCppException:
      return "C++ exception (" + code + ")";
    default:
      return "exception " + code;
  }
}

HMODULE moduleOf(std::uintptr_t address) {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                         GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(address), &module);
  return module;
}

// The nearest export at or below `rva` in the module's export table.
void nearestExport(HMODULE module, std::uintptr_t rva, CrashFrame* frame) {
  auto* base = reinterpret_cast<const unsigned char*>(module);
  auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& directory =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  if (directory.VirtualAddress == 0) return;
  auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + directory.VirtualAddress);
  auto* functions = reinterpret_cast<const DWORD*>(base + exports->AddressOfFunctions);
  auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  auto* ordinals = reinterpret_cast<const WORD*>(base + exports->AddressOfNameOrdinals);
  DWORD best = 0;
  const char* bestName = nullptr;
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
    DWORD functionRva = functions[ordinals[i]];
    if (functionRva <= rva && functionRva >= best) {
      best = functionRva;
      bestName = reinterpret_cast<const char*>(base + names[i]);
    }
  }
  if (bestName != nullptr) {
    frame->symbol = bestName;
    frame->symbolOffset = rva - best;
  }
}

void describeFrames(const RawFault& fault, const void* scopeAddress, CrashRecord* crash) {
  HMODULE scope = scopeAddress != nullptr ? moduleOf(reinterpret_cast<std::uintptr_t>(scopeAddress))
                                          : nullptr;
  HMODULE host = GetModuleHandleW(nullptr);
  for (int i = 0; i < fault.frameCount && static_cast<int>(crash->frames.size()) < kMaxCrashFrames;
       ++i) {
    // Caller frames hold return addresses; the call itself is one byte before.
    std::uintptr_t address = i == 0 ? fault.frames[i] : fault.frames[i] - 1;
    HMODULE module = moduleOf(address);
    if (module == nullptr || module == host || (scope != nullptr && module != scope)) continue;
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    if (length == 0) continue;
    const wchar_t* name = path;
    for (DWORD c = 0; c < length; ++c) {
      if (path[c] == L'\\' || path[c] == L'/') name = path + c + 1;
    }
    char utf8[MAX_PATH * 3];
    int bytes = WideCharToMultiByte(CP_UTF8, 0, name, -1, utf8, sizeof utf8, nullptr, nullptr);
    CrashFrame frame;
    frame.file = bytes > 0 ? utf8 : "?";
    frame.fileOffset = address - reinterpret_cast<std::uintptr_t>(module);
    nearestExport(module, frame.fileOffset, &frame);
    crash->frames.push_back(std::move(frame));
  }
}

}  // namespace

bool runGuarded(GuardedBody body, void* context, CrashScope scope, CrashRecord* crash) {
  installFaultHandlers();
  if (__builtin_setjmp(mainGuard.jump) != 0) {
    if (mainGuard.fault.code == EXCEPTION_STACK_OVERFLOW) _resetstkoflw();
    crash->what = describeException(mainGuard.fault);
    crash->frames.clear();
    crash->exitStatus = mainGuard.fault.aborted ? 3 : static_cast<int>(mainGuard.fault.code);
    crash->abandoned = false;
    describeFrames(mainGuard.fault, scope.address, crash);
    return false;
  }
  return callWhileActive(body, context, &mainGuard.active, crash);
}

void setExitDuringCallReporter(void (*)(int)) {}

void setThreadFaultReporter(void (*)(const CrashRecord&, std::uint64_t)) {}

bool threadFaultedInLibrary(const void*) { return false; }

void forgetThreadFaults(const void*) {}

bool abandonGuardedCall(int, void*, void*) { return false; }
void enterHostCode() {}
void leaveHostCode() {}

void endProcessNow(int status) {
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
  std::abort();
}

}  // namespace platform
