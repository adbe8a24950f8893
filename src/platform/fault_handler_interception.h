// The fault handlers libraries install of their own (language runtimes, crash reporters), kept
// behind the host's: for the crash guard's platform halves only.
//
// Implementations live in fault_handler_interception-posix.cc (the `sigaction` and `signal`
// the executable exports) and fault_handler_interception-win32.cc (the top-level exception
// filter a library sets). The public part is in crash_guard.h: libraryFaultHandlersInstalled,
// forgetLibraryFaultHandlers.
#ifndef INVOKEMODULE_PLATFORM_FAULT_HANDLER_INTERCEPTION_H_
#define INVOKEMODULE_PLATFORM_FAULT_HANDLER_INTERCEPTION_H_

#include <cstddef>
#include <cstdint>

namespace platform {

// A function of any type, converted back to its own before it is called.
using AnyFunction = void (*)();

// Puts `handler`, the host's fault handler (POSIX: a SA_SIGINFO handler of the fault signals;
// Windows: the top-level exception filter), in front of what handled faults before, which is
// kept to pass on what the host does not take. From then on the handlers libraries install go
// behind the host's. Called once; answers whether the handler is in place.
bool putHostFaultHandlerInFront(AnyFunction handler);

// Offers a fault the host does not take to the library's handler behind the host's: answers
// true when that handler dealt with it, and the faulting code may go on. The same instruction
// faulting again right away is no longer offered. POSIX: the signal handler's arguments;
// Windows: `signal` unused, `info` the EXCEPTION_POINTERS, `context` unused.
bool offerFaultToLibrary(int signal, void* info, void* context);

// POSIX: an alternate signal stack of `size` bytes with pages below it that no access may
// touch: a handler that runs past the stack's end (an extension's handler that recurses without
// end) faults there, outside the stack, so that fault is delivered at the stack's top and the
// host's handler takes it for the handler's own. Null when it cannot be mapped.
void* mapGuardedStack(std::size_t size);
void unmapGuardedStack(void* stack, std::size_t size);

// POSIX: unblocks the fault signals and the interrupt on this thread, which a handler that
// never returned (the library's, the host's own) may have left blocked.
void unblockFaultSignals();

// POSIX: whether the fault is the single step after an instruction a library's handler let run
// again (which it then ends).
bool finishLibraryRetry(int signal, void* info, void* context);

// Windows: a new guarded call forgets where a library's filter let the last fault go on.
void forgetLibraryRetry();

// Passes a fault the host does not take on to what handled faults before the host (POSIX: or
// to the signal's default action). Windows: answers that filter's verdict.
long passFaultBehindHost(int signal, void* info, void* context);

// The calling thread no longer counts as running for the library that started it (it faulted
// and is parked for good). POSIX: safe in a signal handler.
void stopCountingThisThread();

// The base address of the module holding `address`; 0 when none does (crash_guard-*.cc).
std::uintptr_t moduleBaseOf(const void* address);

// Windows: points a library's import slot `slot` of `name` at the host's version when it is one
// through which fault handlers are installed (SetUnhandledExceptionFilter,
// AddVectoredExceptionHandler, RemoveVectoredExceptionHandler): a library's top-level filter is
// taken at once, and its vectored handlers run behind the host's own, from it.
void interceptFaultHandlerImport(const char* name, std::uintptr_t* slot);

// Windows: offers an exception the host does not take to the vectored handlers libraries added,
// in the order the system would call them; answers the first verdict that is not to go on
// searching (EXCEPTION_CONTINUE_SEARCH when none gave one). `info`: the EXCEPTION_POINTERS.
long offerExceptionToLibraryHandlers(void* info);

// Windows: whether the calling thread runs a library's fault handler (its top-level filter or a
// vectored handler) for the host: an exception raised now is the handler's own.
bool inLibraryFaultHandler();

// Windows: the main thread left a library's fault handler for the landing point.
void leftLibraryFaultHandler();

// POSIX: whether the module loaded at `base` (file `file`, may be null) is the host or one of
// the runtime libraries every program shares (crash_guard-posix.cc).
bool isHostOrRuntimeModule(std::uintptr_t base, const char* file);

}  // namespace platform

#endif  // INVOKEMODULE_PLATFORM_FAULT_HANDLER_INTERCEPTION_H_
