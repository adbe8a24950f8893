/* The floor of a big argument-form line: the least work its call needs, for comparison.
 *
 * Usage: bench_split_floor LIBRARY < LINE
 * Loads LIBRARY, reads standard input whole, takes the argument array as what lies between
 * the second "[" and the last "]" but one, splits it at every comma with memchr (no string,
 * quote or nesting rules: a comma inside an item splits it too), copies each item, leading
 * blanks skipped, into one text buffer with a NUL behind it, passes the pointers to
 * RVExtensionArgs with the function "fn" and prints the quoted result and the time line. */
#define _POSIX_C_SOURCE 200809L
#include "floor_common.h"

#include <unistd.h>

static void* grow(void* block, size_t size) {
  void* grown = realloc(block, size);
  if (grown == NULL) {
    fprintf(stderr, "out of memory\n");
    exit(1);
  }
  return grown;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s LIBRARY < LINE\n", argv[0]);
    return 2;
  }
  void* library = NULL;
  ArgsEntryPoint entry = loadEntryPoint(argv[1], &library);

  size_t capacity = 1 << 20, length = 0;
  char* line = grow(NULL, capacity);
  for (;;) {
    if (length == capacity) line = grow(line, capacity *= 2);
    ssize_t got = read(STDIN_FILENO, line + length, capacity - length);
    if (got <= 0) break;
    length += (size_t)got;
  }

  char* first = memchr(line, '[', length);
  first = first != NULL ? memchr(first + 1, '[', length - (size_t)(first + 1 - line)) : NULL;
  char* last = line + length;
  int closing = 0;
  while (last > line && closing < 2) closing += *--last == ']';
  if (first == NULL || last <= first) {
    fprintf(stderr, "no argument array\n");
    return 1;
  }

  char* texts = grow(NULL, (size_t)(last - first) + 1);
  size_t pointerCapacity = 1024, count = 0;
  const char** pointers = grow(NULL, pointerCapacity * sizeof *pointers);
  char* out = texts;
  for (char* item = first + 1; item < last;) {
    char* comma = memchr(item, ',', (size_t)(last - item));
    char* end = comma != NULL ? comma : last;
    while (item < end && *item == ' ') ++item;
    if (count == pointerCapacity) pointers = grow(pointers, (pointerCapacity *= 2) * sizeof *pointers);
    pointers[count++] = out;
    memcpy(out, item, (size_t)(end - item));
    out += end - item;
    *out++ = '\0';
    item = end + 1;
  }

  static char output[kOutputSize];
  int64_t start = counterNow();
  int32_t code = entry(output, kOutputSize, "fn", pointers, (int32_t)count);
  int64_t end = counterNow();
  printf("[\"%s\",%d,0]\n", output, code);
  printf("Execution time: %lf ms\n\n", (double)(end - start) * 1e-6);
  fflush(stdout);
  free(pointers);
  free(texts);
  free(line);
  dlclose(library);
  return 0;
}
