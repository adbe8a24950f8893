// Puts UTF-8 byte sequences together into code points, one character at a time, for a reader
// that takes whole characters (the line editor).
#ifndef INVOKEMODULE_SUPPORT_UTF8_DECODER_H_
#define INVOKEMODULE_SUPPORT_UTF8_DECODER_H_

namespace support {

class Utf8Decoder {
 public:
  // The next byte, or a negative value (end of input) or a control value below 0x80, which
  // pass through as they are.
  using ReadByte = int (*)(void* context);

  static constexpr int kReplacement = 0xFFFD;

  // The next character: a byte below 0x80 (or negative) as it is, a valid sequence as its code
  // point. A byte that begins no valid sequence, an overlong form, a surrogate or a value past
  // U+10FFFF become kReplacement; a byte that breaks a sequence off is read afresh as the next
  // character.
  int next(ReadByte read, void* context);

 private:
  int pending_ = -1;  // a byte read past the end of a broken sequence
};

}  // namespace support

#endif  // INVOKEMODULE_SUPPORT_UTF8_DECODER_H_
