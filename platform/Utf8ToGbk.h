// Utf8ToGbk: UTF-8 to GBK for request bodies and relayed texts.
//
// Phase 1 decides: input holding a byte 0x80..0xDF where a character should
// start (a two-byte UTF-8 character, a stray continuation byte, GBK text), or a
// sequence cut short, is passed through unchanged. Phase 2 converts: ASCII is
// copied, each three-byte sequence becomes two GBK bytes (ideographs
// U+4E00..U+9FA5 by their GBK codes, 18 punctuation marks by Velmo's table,
// anything else A1EF), and a sequence of four or more bytes fails the whole
// conversion.
//
// Thread safety: a pure function over constant data.
#pragma once

namespace velmo {

// Converts `length` bytes of `source` into `destination`, which must hold at
// least `length` bytes (the output is never longer than the input; no
// terminator is written). Returns 0 with *outLength set, or -1 (for a four-byte
// sequence, or a negative length) leaving *outLength as it was; the destination
// may then hold a partial output.
int Utf8ToGbk(const char* source, int length, char* destination, int* outLength);

// The two-byte GBK code written for a code point decoded from a three-byte sequence.
unsigned GbkCodeOf(unsigned codePoint);

}  // namespace velmo
