// An output buffer handed to an extension, with a guard zone behind it that reveals writes
// past its end.
//
// The extension is told the buffer's size and must leave its last byte zero. A non-zero last
// byte, or any write into the guard zone (at least 64 KiB, filled with a fixed pattern), counts
// as an overrun. Where the platform can trap writes by page protection the guard zone is
// read-only and checking it costs a flag test; elsewhere it is scanned after every call.
#ifndef INVOKEMODULE_EXTENSIONS_GUARDED_BUFFER_H_
#define INVOKEMODULE_EXTENSIONS_GUARDED_BUFFER_H_

#include <cstddef>
#include <memory>
#include <string_view>

class GuardedBuffer {
 public:
  enum class GuardCheck { Trap, Scan };

  static constexpr std::size_t kMinimumGuardSize = 64 * 1024;
  static constexpr unsigned char kGuardPattern = 0xA5;

  // `preferred` Trap falls back to Scan when the platform cannot trap writes.
  explicit GuardedBuffer(std::size_t size, GuardCheck preferred = GuardCheck::Trap);
  ~GuardedBuffer();
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;

  // Fills the buffer with zero bytes and returns it, ready to hand to the extension.
  char* prepare();

  // After the extension returned: whether it set the last byte or wrote into the guard zone.
  // Restores the guard zone, so the next call starts clean either way.
  bool overrun();

  // The text the extension wrote: the bytes up to the first zero. Valid when !overrun().
  std::string_view text() const;

  char* data() { return data_; }
  std::size_t size() const { return size_; }
  std::size_t guardSize() const { return guardSize_; }
  GuardCheck guardCheck() const { return check_; }

 private:
  bool guardIntact() const;
  void fillGuard();

  std::size_t size_;
  std::size_t guardSize_ = kMinimumGuardSize;
  char* data_ = nullptr;  // size_ bytes, directly followed by the guard zone
  unsigned char* guard_ = nullptr;
  unsigned char* pages_ = nullptr;  // the mapped pages holding both, when mapping worked
  std::size_t pagesSize_ = 0;
  std::unique_ptr<unsigned char[]> heapBlock_;  // owns the memory when no pages could be mapped
  GuardCheck check_ = GuardCheck::Scan;
  int trap_ = -1;
};

#endif  // INVOKEMODULE_EXTENSIONS_GUARDED_BUFFER_H_
