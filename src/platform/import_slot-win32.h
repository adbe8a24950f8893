// Redirecting one slot of a module's import table to a hook of the host's (Windows only).
#ifndef INVOKEMODULE_PLATFORM_IMPORT_SLOT_WIN32_H_
#define INVOKEMODULE_PLATFORM_IMPORT_SLOT_WIN32_H_

#include <windows.h>

namespace platform {

// Points one import slot at `hook`, keeping the function it held in `*real` (the first one seen;
// a slot that holds another function, from a second C runtime, is left as it is).
template <class Slot, class Function>
void redirectImportSlot(Slot* slot, Function hook, Function* real) {
  auto held = reinterpret_cast<Function>(*slot);
  if (*real == nullptr) *real = held;
  if (*real != held) return;
  DWORD previous = 0;
  if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &previous)) return;
  *slot = reinterpret_cast<Slot>(hook);
  VirtualProtect(slot, sizeof *slot, previous, &previous);
}

}  // namespace platform

#endif  // INVOKEMODULE_PLATFORM_IMPORT_SLOT_WIN32_H_
