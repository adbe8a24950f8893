// Calls an entry point that must remove its own arguments from the stack (32-bit Windows),
// through a thunk that measures what it removed and puts the stack pointer back either way.
#ifndef INVOKEMODULE_PLATFORM_STACK_MEASURED_CALL_H_
#define INVOKEMODULE_PLATFORM_STACK_MEASURED_CALL_H_

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "platform/calling_convention.h"

// Copies `argumentBytes` bytes of `words` onto the stack, calls `function`, and answers what
// it returned in its 32-bit result register. `*bytesLeft` is the bytes of those arguments the
// function left on the stack: 0 for a stdcall function of the right parameters, all of them
// for a cdecl one, negative when it removed more than it was given. Defined only where
// platform::kCalleeRemovesArguments holds.
extern "C" std::uint32_t invokemodule_call_measuring_stack(const void* function, const std::uint32_t* words,
                                                           std::uint32_t argumentBytes,
                                                           std::int32_t* bytesLeft);

namespace platform {

template <class Result, class... Arguments>
Result callMeasuringStack(Result(INVOKEMODULE_STDCALL* function)(Arguments...), std::int32_t* bytesLeft,
                          Arguments... arguments) {
  static_assert(((sizeof(Arguments) == sizeof(std::uint32_t)) && ...), "every argument is one stack word");
  std::uint32_t words[sizeof...(Arguments)];
  std::size_t at = 0;
  ((std::memcpy(&words[at++], &arguments, sizeof(std::uint32_t))), ...);
  std::uint32_t value = invokemodule_call_measuring_stack(reinterpret_cast<const void*>(function), words,
                                                          sizeof(words), bytesLeft);
  if constexpr (!std::is_void_v<Result>) return static_cast<Result>(value);
}

}  // namespace platform

#endif  // INVOKEMODULE_PLATFORM_STACK_MEASURED_CALL_H_
