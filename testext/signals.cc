// The signals test extension: calls that take a set time, hang, send themselves a fault signal,
// hand the host's callback a bad pointer, or make the context function fault; variants whose
// start-up or clean-up code never ends. Anything else is echoed back.
//
// Function texts (both call forms):
//   spin MS       busy-waits MS milliseconds, then returns "spun"
//   loop          never returns (busy)
//   raise         raise(SIGSEGV): the signal sent to the calling thread
//   kill          (POSIX) kill(getpid(), SIGSEGV): the signal sent to the process
//   badcallback   calls the host's callback with a data pointer that points nowhere
//   contextfault  the context function faults before the next call
//   requestfault  asks the host for the context (RVExtensionRequestContext), which faults
// Variant switches: SIGEXT_STARTUP_HANG, SIGEXT_CLEANUP_HANG (start-up or clean-up code that
// never ends).
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#ifndef EXTENSION_CALL
#define EXTENSION_CALL
#endif
#ifndef EXTENSION_EXPORT
#define EXTENSION_EXPORT
#endif

typedef std::int32_t (*HostCallback)(const char* name, const char* function, const char* data);
typedef void(EXTENSION_CALL* RequestContextFunction)();

namespace {

HostCallback hostCallback = nullptr;
volatile int spinning = 0;
volatile bool faultInContext = false;
int* volatile nowhere = reinterpret_cast<int*>(std::uintptr_t{0x28});

void spinFor(int milliseconds) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (std::chrono::steady_clock::now() < until) spinning = spinning + 1;
}

#if SIGEXT_STARTUP_HANG || SIGEXT_CLEANUP_HANG
// Waits for ever in the system (a sleep), as start-up code stuck on a lock or a socket would.
[[noreturn]] void hang() {
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}
#endif
#if SIGEXT_STARTUP_HANG
struct HangsAtStartUp {
  HangsAtStartUp() { hang(); }
} hangsAtStartUp;
#endif
#if SIGEXT_CLEANUP_HANG
struct HangsAtCleanUp {
  ~HangsAtCleanUp() { hang(); }
} hangsAtCleanUp;
#endif

// The host's RVExtensionRequestContext, looked up in the host program itself.
RequestContextFunction hostRequestContext() {
#ifdef _WIN32
  HMODULE host = GetModuleHandleW(nullptr);
  FARPROC address =
      GetProcAddress(host, sizeof(void*) == 4 ? "_RVExtensionRequestContext@0" : "RVExtensionRequestContext");
  return reinterpret_cast<RequestContextFunction>(reinterpret_cast<void*>(address));
#else
  return reinterpret_cast<RequestContextFunction>(dlsym(RTLD_DEFAULT, "RVExtensionRequestContext"));
#endif
}

std::string run(const char* function) {
  std::string text = function != nullptr ? function : "";
  if (text.rfind("spin ", 0) == 0) {
    spinFor(std::atoi(text.c_str() + 5));
    return "spun";
  }
  if (text == "loop") {
    for (;;) spinning = spinning + 1;
  }
  if (text == "raise") std::raise(SIGSEGV);
#ifndef _WIN32
  if (text == "kill") ::kill(::getpid(), SIGSEGV);
#endif
  if (text == "badcallback" && hostCallback != nullptr) {
    hostCallback("sigext", "bad", reinterpret_cast<const char*>(std::uintptr_t{0x18}));
  }
  if (text == "contextfault") faultInContext = true;
  if (text == "requestfault") {
    faultInContext = true;
    if (RequestContextFunction request = hostRequestContext()) request();
    faultInContext = false;
    return "no context";
  }
  return text;
}

void writeText(char* output, std::int32_t outputSize, const std::string& text) {
  std::size_t length = text.size() < static_cast<std::size_t>(outputSize - 1) ? text.size() : outputSize - 1;
  std::memcpy(output, text.data(), length);
  output[length] = '\0';
}

}  // namespace

extern "C" {

EXTENSION_EXPORT void EXTENSION_CALL RVExtensionVersion(char* output, std::int32_t outputSize) {
  writeText(output, outputSize, "sigext 1.0");
}

EXTENSION_EXPORT void EXTENSION_CALL RVExtension(char* output, std::int32_t outputSize,
                                                 const char* function) {
  writeText(output, outputSize, run(function));
}

EXTENSION_EXPORT std::int32_t EXTENSION_CALL RVExtensionArgs(char* output, std::int32_t outputSize,
                                                             const char* function, const char**,
                                                             std::int32_t) {
  writeText(output, outputSize, run(function));
  return 0;
}

EXTENSION_EXPORT void EXTENSION_CALL RVExtensionRegisterCallback(HostCallback callback) {
  hostCallback = callback;
}

EXTENSION_EXPORT void EXTENSION_CALL RVExtensionContext(const char**, std::uint32_t) {
  if (faultInContext) {
    faultInContext = false;
    *nowhere = 1;
  }
}

}  // extern "C"
