// The exit handlers a library registers: the destructors of its static objects and its atexit
// functions, which unloading it runs first. Run ahead of the unload, under the crash guard, a
// fault, an exit() or a hang in one comes back to the host before the system's loader takes
// its lock for the rest of the library's clean-up code.
#ifndef INVOKEMODULE_PLATFORM_EXIT_HANDLERS_H_
#define INVOKEMODULE_PLATFORM_EXIT_HANDLERS_H_

namespace platform {

// Whether this platform can run a library's exit handlers ahead of its unload. Windows cannot:
// a DLL's are in a table of its own C runtime, which its detach code runs under the loader's
// lock.
bool libraryExitHandlersRunAhead();

// Runs the exit handlers the library containing `address` registered and not yet run, newest
// first, each marked run before it is called: unloading the library runs none of them again,
// and after one that did not return, a second call runs the rest. Main thread, under the crash
// guard. Elsewhere: nothing.
void runLibraryExitHandlers(const void* address);

}  // namespace platform

#endif  // INVOKEMODULE_PLATFORM_EXIT_HANDLERS_H_
