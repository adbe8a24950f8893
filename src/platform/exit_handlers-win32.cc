// Windows runs a DLL's exit handlers from its own C runtime's table, in its detach code, under
// the loader's lock: the host cannot run them ahead of the unload.
#include "platform/exit_handlers.h"

namespace platform {

bool libraryExitHandlersRunAhead() { return false; }

void runLibraryExitHandlers(const void*) {}

}  // namespace platform
