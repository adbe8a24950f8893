/* What the floor programs share: the entry point's type, the output buffer's size, the clock
 * and the loading of RVExtensionArgs. */
#ifndef INVOKEMODULE_BENCH_FLOOR_COMMON_H_
#define INVOKEMODULE_BENCH_FLOOR_COMMON_H_

#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

typedef int32_t (*ArgsEntryPoint)(char* output, int32_t outputSize, const char* function, const char** argv,
                                  int32_t argc);

enum { kOutputSize = 10240 };

static inline int64_t counterNow(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

/* Loads `path` and returns its RVExtensionArgs, or ends the program with status 1. */
static inline ArgsEntryPoint loadEntryPoint(const char* path, void** library) {
  *library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (*library == NULL) {
    fprintf(stderr, "%s\n", dlerror());
    exit(1);
  }
  ArgsEntryPoint entry = (ArgsEntryPoint)(uintptr_t)dlsym(*library, "RVExtensionArgs");
  if (entry == NULL) {
    fprintf(stderr, "no RVExtensionArgs\n");
    exit(1);
  }
  return entry;
}

#endif
