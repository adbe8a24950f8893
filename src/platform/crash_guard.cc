// The crash guard's part both platforms share: the guarded call's flag, and the capture of a
// C++ exception that escaped the call.
#include "platform/crash_guard.h"

#include <cxxabi.h>

#include <atomic>
#include <cstring>
#include <exception>
#include <typeinfo>

namespace platform {

void captureCurrentException(CrashRecord* crash) {
  RawFault& fault = crash->fault;
  fault = RawFault();
  fault.kind = FaultKind::CppException;
  crash->exitStatus = 1;
  crash->abandoned = false;
  if (const std::type_info* type = abi::__cxa_current_exception_type()) fault.exceptionType = type->name();
  // The thrown object, which an exception_ptr holds as its one pointer (libstdc++, libc++): the
  // throw site recorded for it, if any, is this exception's.
  std::exception_ptr current = std::current_exception();
  static_assert(sizeof current == sizeof(void*));
  const void* object = nullptr;
  std::memcpy(&object, &current, sizeof object);
  addThrowSite(object, &fault);
  try {
    throw;
  } catch (const std::exception& error) {
    fault.exceptionMessage = error.what();
    fault.hasExceptionMessage = true;
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
    captureCurrentException(crash);
  }
  std::atomic_signal_fence(std::memory_order_seq_cst);
  *active = 0;
  return returned;
}

// The flag types of the two platform halves.
template bool callWhileActive<int>(GuardedBody, void*, volatile int*, CrashRecord*);
template bool callWhileActive<long>(GuardedBody, void*, volatile long*, CrashRecord*);

void* gapReturnJump[5];
std::int32_t gapReturnCode = 0;

}  // namespace platform
