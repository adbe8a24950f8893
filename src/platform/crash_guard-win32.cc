// The crash guard on Windows: C++ exceptions escaping a call are caught at the call.
#include "platform/crash_guard.h"

#include <windows.h>

#include <cstdlib>
#include <exception>

namespace platform {

namespace {

void describeCurrentException(CrashRecord* crash) {
  crash->what = "C++ exception";
  crash->frames.clear();
  crash->exitStatus = 1;
  crash->abandoned = false;
  try {
    throw;
  } catch (const std::exception& error) {
    crash->what += ": ";
    crash->what += error.what();
  } catch (...) {
  }
}

}  // namespace

bool runGuarded(GuardedBody body, void* context, CrashScope, CrashRecord* crash) {
  try {
    body(context);
  } catch (...) {
    describeCurrentException(crash);
    return false;
  }
  return true;
}

void setExitDuringCallReporter(void (*)(int)) {}

void setThreadFaultReporter(void (*)(const CrashRecord&, std::uint64_t)) {}

bool threadFaultedInLibrary(const void*) { return false; }

void forgetThreadFaults(const void*) {}

bool abandonGuardedCall(int, void*, void*) { return false; }
void enterHostCode() {}
void leaveHostCode() {}

void endProcessNow(int status) { TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status)); std::abort(); }

}  // namespace platform
