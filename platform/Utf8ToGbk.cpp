#include "platform/Utf8ToGbk.h"

#include <cstdint>

namespace velmo {

namespace {

const std::uint16_t kGbkTable[20921] = {
#include "platform/GbkTable.inc"
};
constexpr unsigned kFirstIdeograph = 0x4E00;
constexpr unsigned kLastIdeograph = 0x9FA5;
constexpr unsigned kDefaultIndex = 20902;

// The 18 marks, in the order of their codes at the end of kGbkTable.
constexpr unsigned kGbkPunctuation[18] = {0xFF1A, 0xFF0C, 0x3002, 0x3001, 0x300A, 0x300B, 0xFF1F, 0xFF01, 0x201C,
                                          0x201D, 0xFF08, 0xFF09, 0x3010, 0x3011, 0xFF1B, 0x2103, 0xFFE5, 0x2026};

int LeadingOnes(std::uint8_t b) {
  int n = 0;
  while (n < 8 && (b & (0x80 >> n))) ++n;
  return n;
}

bool IsContinuation(std::uint8_t b) { return (b & 0xC0) == 0x80; }

// Phase 1: true when the input is to be converted, false when passed through.
bool ShouldConvert(const std::uint8_t* s, int length) {
  int i = 0;
  while (i < length) {
    std::uint8_t b = s[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    int n = LeadingOnes(b);
    if (n <= 2) return false;
    if (length - i < n) return false;
    for (int k = 1; k < n; ++k) {
      if (!IsContinuation(s[i + k])) return false;
    }
    i += n;
  }
  return true;
}

}  // namespace

unsigned GbkCodeOf(unsigned cp) {
  if (cp >= kFirstIdeograph && cp <= kLastIdeograph) return kGbkTable[cp - kFirstIdeograph];
  for (unsigned i = 0; i < 18; ++i) {
    if (kGbkPunctuation[i] == cp) return kGbkTable[kDefaultIndex + 1 + i];
  }
  return kGbkTable[kDefaultIndex];
}

int Utf8ToGbk(const char* source, int length, char* destination, int* outLength) {
  if (length < 0) return -1;
  const auto* s = reinterpret_cast<const std::uint8_t*>(source);
  if (!ShouldConvert(s, length)) {
    for (int i = 0; i < length; ++i) destination[i] = source[i];
    *outLength = length;
    return 0;
  }
  int out = 0;
  int i = 0;
  while (i < length) {
    std::uint8_t b = s[i];
    if (b < 0x80) {
      destination[out++] = static_cast<char>(b);
      ++i;
      continue;
    }
    if ((b & 0xF0) != 0xE0) return -1;  // four bytes or more: phase 1 checked the continuations
    unsigned cp = ((b & 0x0Fu) << 12) | ((s[i + 1] & 0x3Fu) << 6) | (s[i + 2] & 0x3Fu);
    unsigned code = cp - kFirstIdeograph <= kLastIdeograph - kFirstIdeograph ? kGbkTable[cp - kFirstIdeograph]
                                                                             : GbkCodeOf(cp);
    destination[out++] = static_cast<char>(code >> 8);
    destination[out++] = static_cast<char>(code & 0xFF);
    i += 3;
  }
  *outLength = out;
  return 0;
}

}  // namespace velmo
