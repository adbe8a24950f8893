// An output buffer handed to an extension, with guard zones in front of it and behind it that
// reveal writes outside it.
//
// The extension is told the buffer's size and must leave its last byte zero. A non-zero last
// byte, or any write into a guard zone (at least 64 KiB each, filled with a fixed pattern),
// counts as an overrun. Where the platform can trap writes by page protection, the guard zones
// are read-only and checking them costs a flag test; elsewhere they are scanned after every
// call. A buffer whose size is not a whole number of pages cannot start and end on page
// boundaries at once: it ends on one, and the part of its first page in front of it holds
// marker bytes (the pattern). After every call the markers at both ends of that part are
// compared, kMarkerCheckSize bytes each: those next to the buffer, which any write running
// backwards out of it touches, and those where the page begins. Comparing the whole part
// (2048 bytes for a 10240-byte buffer, before and after every call) would cost about as much
// as zeroing the buffer does, so a stray single write between the two ends goes unseen.
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
  static constexpr std::size_t kMarkerCheckSize = 64;

  // `preferred` Trap falls back to Scan when the platform cannot trap writes.
  explicit GuardedBuffer(std::size_t size, GuardCheck preferred = GuardCheck::Trap);
  ~GuardedBuffer();
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;

  // Fills the buffer with zero bytes and returns it, ready to hand to the extension.
  char* prepare();

  // After the extension returned: whether it set the last byte or wrote into a guard zone.
  // Restores the guard zones, so the next call starts clean either way.
  bool overrun();

  // Whether anything wrote into a guard zone since the last check (before a call: a write made
  // while no call ran). Restores the guard zones.
  bool guardsWritten();

  // The text the extension wrote: the bytes up to the first zero. Valid when !overrun().
  std::string_view text() const;

  char* data() { return data_; }
  std::size_t size() const { return size_; }
  std::size_t guardSize() const { return guardSize_; }    // behind the buffer
  std::size_t frontSize() const { return frontSize_; }    // in front of it, markers included
  std::size_t markerSize() const { return markerSize_; }  // the ends compared after every call
  GuardCheck guardCheck() const { return check_; }

 private:
  struct Zone {
    unsigned char* begin = nullptr;
    std::size_t size = 0;
    int trap = -1;          // the zone's write trap; -1: compared with the pattern
    bool endsOnly = false;  // the markers: only both ends compared
  };
  bool zoneWritten(Zone& zone);

  std::size_t size_;
  std::size_t guardSize_ = kMinimumGuardSize;
  std::size_t frontSize_ = kMinimumGuardSize;
  std::size_t markerSize_ = 0;
  char* data_ = nullptr;
  Zone zones_[3];                   // behind the buffer, in front of it, the markers directly in front of it
  unsigned char* pages_ = nullptr;  // the mapped pages holding them all, when mapping worked
  std::size_t pagesSize_ = 0;
  std::unique_ptr<unsigned char[]> heapBlock_;  // owns the memory when no pages could be mapped
  GuardCheck check_ = GuardCheck::Scan;
};

#endif  // INVOKEMODULE_EXTENSIONS_GUARDED_BUFFER_H_
