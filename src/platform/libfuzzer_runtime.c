/* The shared object that carries clang's libFuzzer runtime for the coverage-guided --fuzz: the
   runtime's archive is linked into it whole, so this file holds nothing of its own. */
typedef int invokemodule_libfuzzer_runtime; /* a C file must declare something */
