// A 32-bit Windows test extension with one entry point declared the way authors get wrong,
// picked by WRONG_ENTRY_POINT, and the others as the game calls them:
//   1  RVExtension without __stdcall (it leaves its 12 bytes of arguments on the stack), and
//      RVExtensionArgs __stdcall with four parameters (it removes 16 of its 20 bytes)
//   2  RVExtensionVersion without __stdcall
//   3  RVExtensionContext without __stdcall
// Each answers its function text, so a call that goes through shows it; "request" first asks the
// host for the context (RVExtensionRequestContext).
#include <windows.h>

#include <cstdint>
#include <cstring>

#if WRONG_ENTRY_POINT == 2
#define VERSION_CALL __cdecl
#else
#define VERSION_CALL __stdcall
#endif
#if WRONG_ENTRY_POINT == 3
#define CONTEXT_CALL __cdecl
#else
#define CONTEXT_CALL __stdcall
#endif
#if WRONG_ENTRY_POINT == 1
#define CALL_CALL __cdecl
#else
#define CALL_CALL __stdcall
#endif

namespace {
void answer(char* output, std::int32_t outputSize, const char* text) {
  if (std::strcmp(text, "request") == 0) {
    FARPROC request = GetProcAddress(GetModuleHandleA(nullptr), "_RVExtensionRequestContext@0");
    if (request != nullptr) reinterpret_cast<void(__stdcall*)()>(reinterpret_cast<void*>(request))();
  }
  std::strncpy(output, text, static_cast<std::size_t>(outputSize) - 1);
}
}  // namespace

extern "C" {

void VERSION_CALL RVExtensionVersion(char* output, std::int32_t outputSize) {
  answer(output, outputSize, "1.0");
}

void __stdcall RVExtensionRegisterCallback(std::int32_t (*)(const char*, const char*, const char*)) {}

void CONTEXT_CALL RVExtensionContext(const char**, std::uint32_t) {}

void CALL_CALL RVExtension(char* output, std::int32_t outputSize, const char* function) {
  answer(output, outputSize, function);
}

#if WRONG_ENTRY_POINT == 1
std::int32_t __stdcall RVExtensionArgs(char* output, std::int32_t outputSize, const char* function,
                                       const char**) {
#else
std::int32_t __stdcall RVExtensionArgs(char* output, std::int32_t outputSize, const char* function,
                                       const char**, std::int32_t) {
#endif
  answer(output, outputSize, function);
  return 0;
}
}
