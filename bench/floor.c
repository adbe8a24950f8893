/* The floor of a call: what the host does for one argument-form call and nothing else.
 *
 * Usage: bench_floor LIBRARY COUNT FLUSH [ECHO]
 * Loads LIBRARY, takes RVExtensionArgs through dlsym and calls it COUNT times with the function
 * "fn" and the argument texts of [1, "two", true, [3]]. Each call zeroes a 10240-byte buffer,
 * reads the clock, calls, reads the clock, and prints the quoted result line and the time line
 * with stdio. With FLUSH 1 the output is flushed once per call, as the host flushes once per
 * command when its output is not a terminal. With ECHO 1 each call is preceded by the line
 * of the command it stands for, as a script shows its lines before they run. Reads no input
 * and parses no command. */
#define _POSIX_C_SOURCE 200809L
#include "floor_common.h"

/* Writes `text` in double quotes with inner quotes doubled; `quoted` has room for it. */
static void quote(const char* text, char* quoted) {
  *quoted++ = '"';
  for (; *text != '\0'; ++text) {
    if (*text == '"') *quoted++ = '"';
    *quoted++ = *text;
  }
  *quoted++ = '"';
  *quoted = '\0';
}

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    fprintf(stderr, "usage: %s LIBRARY COUNT FLUSH [ECHO]\n", argv[0]);
    return 2;
  }
  void* library = NULL;
  ArgsEntryPoint entry = loadEntryPoint(argv[1], &library);
  long count = atol(argv[2]);
  int flushEachCall = atoi(argv[3]) != 0;
  int echo = argc == 5 && atoi(argv[4]) != 0;

  static char output[kOutputSize];
  static char quoted[2 * kOutputSize + 3];
  const char* arguments[] = {"1", "\"two\"", "true", "[3]"};
  const double frequency = 1e9;
  for (long i = 0; i < count; ++i) {
    if (echo) fputs("\"bench\" invokeModule [\"fn\", [1, \"two\", true, [3]]];\n", stdout);
    memset(output, 0, sizeof output);
    int64_t start = counterNow();
    int32_t code = entry(output, kOutputSize, "fn", arguments, 4);
    int64_t end = counterNow();
    quote(output, quoted);
    printf("[%s,%d,0]\n", quoted, code);
    printf("Execution time: %lf ms\n\n", (double)(end - start) * 1000.0 / frequency);
    if (flushEachCall) fflush(stdout);
  }
  fflush(stdout);
  dlclose(library);
  return 0;
}
