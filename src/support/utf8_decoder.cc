// The UTF-8 decoder of the line editor's characters.
#include "support/utf8_decoder.h"

namespace support {

int Utf8Decoder::next(ReadByte read, void* context) {
  int byte = pending_ >= 0 ? pending_ : read(context);
  pending_ = -1;
  if (byte < 0x80) return byte;  // ASCII, end of input and control values
  int length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC2 ? 2 : 0;
  if (length == 0 || byte > 0xF4) return kReplacement;
  int codePoint = byte & (0x3F >> (length - 1));
  for (int i = 1; i < length; ++i) {
    int next = read(context);
    if (next < 0x80 || next > 0xBF) {
      pending_ = next;
      return kReplacement;
    }
    codePoint = (codePoint << 6) | (next & 0x3F);
  }
  bool overlong = (length == 3 && codePoint < 0x800) || (length == 4 && codePoint < 0x10000);
  bool invalid = (codePoint >= 0xD800 && codePoint <= 0xDFFF) || codePoint > 0x10FFFF;
  return overlong || invalid ? kReplacement : codePoint;
}

}  // namespace support
