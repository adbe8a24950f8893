// The argument vector handed to RVExtensionArgs, laid out as C's own `main` has it and no
// further: argv[argc] is a null pointer, and the memory right after it cannot be read, so an
// extension that reads past its arguments faults there on every call, platform and history
// instead of reading what an earlier call left.
#ifndef INVOKEMODULE_EXTENSIONS_ARGUMENT_VECTOR_H_
#define INVOKEMODULE_EXTENSIONS_ARGUMENT_VECTOR_H_

#include <cstddef>
#include <cstdint>

// Owns one mapping, reused by every call and grown when a call has more arguments than it
// holds, up to kMaxPlaced; main thread only.
class ArgumentVector {
 public:
  ArgumentVector() = default;
  ~ArgumentVector();
  ArgumentVector(const ArgumentVector&) = delete;
  ArgumentVector& operator=(const ArgumentVector&) = delete;

  // The most arguments placed so: far more than the game passes (2048), and few enough that
  // the copy costs nothing beside reading them. A vector of more stays where it is, ended by
  // its null pointer only (the copy of a line of millions of arguments would double its memory).
  static constexpr std::int32_t kMaxPlaced = 65536;

  // Copies the `argc` pointers of `argv` to the end of the mapping, followed by the null one,
  // and answers where they start; null when there are more than kMaxPlaced or no memory could
  // be mapped.
  const char** place(const char* const* argv, std::int32_t argc);

  // When `address` lies in the unreadable memory after the latest vector: the index of the
  // slot it falls in (argc + 1 and beyond); else -1.
  std::int64_t slotPastEnd(std::uintptr_t address) const;

 private:
  unsigned char* pages_ = nullptr;  // from platform::mapPagesWithBarrier
  std::size_t size_ = 0;
  const char** latest_ = nullptr;
};

#endif  // INVOKEMODULE_EXTENSIONS_ARGUMENT_VECTOR_H_
