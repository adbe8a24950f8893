// A test extension built for the MSVC target by clang and lld-link, with its debug information
// in a PDB beside it and no C runtime: RVExtension writes through a null pointer, in a function
// inlined into a function of its own.
int* volatile nullTarget = 0;

static inline __attribute__((always_inline)) void storeAt(int* target, int value) { *target = value; }

__attribute__((noinline)) static void writeNull(int value) {
  int doubled = value * 2;
  storeAt(nullTarget, doubled);
}

__declspec(dllexport) void __stdcall RVExtension(char* output, unsigned int size, const char* function) {
  (void)function;
  if (size > 0) output[0] = 0;
  writeNull(1);
}
