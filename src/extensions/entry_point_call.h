// Calls into an extension's entry points. Where an entry point must remove its own arguments
// from the stack (32-bit Windows), the call measures the stack, so that a function built with
// another calling convention or other parameters is reported instead of corrupting the host.
#ifndef INVOKEMODULE_EXTENSIONS_ENTRY_POINT_CALL_H_
#define INVOKEMODULE_EXTENSIONS_ENTRY_POINT_CALL_H_

#include <cstdint>
#include <type_traits>

#include "extensions/library_exports.h"
#include "platform/stack_measured_call.h"

// Records that `entryPoint` returned with `bytesLeft` of its `argumentBytes` bytes of
// arguments on the stack (the stack pointer is back where it was). The guarded call that ran
// it then ends as failed, with its report, and the extension is quarantined. The first
// imbalance of a guarded call counts.
void noteStackImbalance(const EntryPointName& entryPoint, std::int32_t bytesLeft,
                        std::uint32_t argumentBytes);
// Whether an entry point of the running guarded call left the stack off.
bool stackImbalanceNoted();

template <class Result, class... Arguments>
inline Result callEntryPoint(const EntryPointName& entryPoint,
                             Result(INVOKEMODULE_STDCALL* function)(Arguments...),
                             std::type_identity_t<Arguments>... arguments) {
  if constexpr (platform::kCalleeRemovesArguments) {
    std::int32_t bytesLeft = 0;
    auto noteImbalance = [&] {
      if (bytesLeft != 0) [[unlikely]]
        noteStackImbalance(entryPoint, bytesLeft, (sizeof(Arguments) + ...));
    };
    if constexpr (std::is_void_v<Result>) {
      platform::callMeasuringStack(function, &bytesLeft, arguments...);
      noteImbalance();
    } else {
      Result result = platform::callMeasuringStack(function, &bytesLeft, arguments...);
      noteImbalance();
      return result;
    }
  } else {
    return function(arguments...);
  }
}

#endif  // INVOKEMODULE_EXTENSIONS_ENTRY_POINT_CALL_H_
