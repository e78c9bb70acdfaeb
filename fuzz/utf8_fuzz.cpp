// Fuzzes Utf8ToGbk against its own rules: the output is never longer than the
// input, and the input passes through unchanged exactly when it holds a byte
// 0x80..0xDF where a character starts or a sequence cut short.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/Utf8ToGbk.h"

namespace {
bool PassesThrough(const std::uint8_t* s, std::size_t n) {
  std::size_t i = 0;
  while (i < n) {
    if (s[i] < 0x80) {
      ++i;
      continue;
    }
    int ones = 0;
    while (ones < 8 && (s[i] & (0x80 >> ones))) ++ones;
    if (ones <= 2 || n - i < static_cast<std::size_t>(ones)) return true;
    for (int k = 1; k < ones; ++k) {
      if ((s[i + static_cast<std::size_t>(k)] & 0xC0) != 0x80) return true;
    }
    i += static_cast<std::size_t>(ones);
  }
  return false;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<char> out(size + 1, '\x5A');
  int length = -7;
  int rc = velmo::Utf8ToGbk(reinterpret_cast<const char*>(data), static_cast<int>(size), out.data(), &length);
  if (out[size] != '\x5A') std::abort();  // never past the input's length
  if (rc != 0) {
    if (length != -7) std::abort();  // a failure leaves the length alone
    if (PassesThrough(data, size)) std::abort();
    return 0;
  }
  if (length < 0 || static_cast<std::size_t>(length) > size) std::abort();
  bool same = static_cast<std::size_t>(length) == size && std::memcmp(out.data(), data, size) == 0;
  if (PassesThrough(data, size) && !same) std::abort();
  return 0;
}
