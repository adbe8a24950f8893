// Cuts a byte stream read in chunks into lines: one portable splitter behind every redirected
// input. Lines end at '\n' (the '\n' is not part of the line); a last line without '\n' is a
// line too, as in a script.
#ifndef INVOKEMODULE_SUPPORT_LINE_SPLITTER_H_
#define INVOKEMODULE_SUPPORT_LINE_SPLITTER_H_

#include <cstddef>
#include <string>

namespace support {

class LineSplitter {
 public:
  // Fills up to `size` bytes at `into` and answers how many; 0 ends the input for good.
  using ReadFunction = std::size_t (*)(void* context, char* into, std::size_t size);

  // What to tell the system of a block a long line is about to grow into (the platform's
  // adviseLargePages); null: nothing.
  using LargeBlockHint = void (*)(void* block, std::size_t size);

  explicit LineSplitter(LargeBlockHint largeBlockHint = nullptr) : largeBlockHint_(largeBlockHint) {}

  // The next line into `line`; false once the input has ended and no byte is left. The buffer
  // is reused, so a line costs no allocation beyond growing `line` itself.
  bool nextLine(std::string* line, ReadFunction read, void* context);

 private:
  char buffer_[64 * 1024];
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  bool ended_ = false;
  LargeBlockHint largeBlockHint_;
};

}  // namespace support

#endif  // INVOKEMODULE_SUPPORT_LINE_SPLITTER_H_
