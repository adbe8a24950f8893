// The crash guard's portable part: describing a C++ exception that escaped a guarded call.
#include "platform/crash_guard.h"

#include <cxxabi.h>

#include <atomic>
#include <cstdlib>
#include <exception>
#include <typeinfo>

namespace platform {

void describeCurrentException(CrashRecord* crash) {
  crash->what = "C++ exception";
  crash->frames.clear();  // the throw site is gone once the exception reached the call
  crash->exitStatus = 1;
  crash->abandoned = false;
  if (const std::type_info* type = abi::__cxa_current_exception_type()) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(type->name(), nullptr, nullptr, &status);
    crash->what += ' ';
    crash->what += status == 0 && demangled != nullptr ? demangled : type->name();
    std::free(demangled);
  }
  try {
    throw;
  } catch (const std::exception& error) {
    crash->what += ": ";
    crash->what += error.what();
  } catch (...) {
  }
}

template <class Flag>
bool callWhileActive(GuardedBody body, void* context, volatile Flag* active, CrashRecord* crash) {
  *active = 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  bool returned = true;
  try {
    body(context);
  } catch (...) {
    returned = false;
    *active = 0;
    describeCurrentException(crash);
  }
  std::atomic_signal_fence(std::memory_order_seq_cst);
  *active = 0;
  return returned;
}

// The flag types of the two platform halves.
template bool callWhileActive<int>(GuardedBody, void*, volatile int*, CrashRecord*);
template bool callWhileActive<long>(GuardedBody, void*, volatile long*, CrashRecord*);

}  // namespace platform
