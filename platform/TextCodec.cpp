#include "platform/TextCodec.h"

#include <algorithm>
#include <cerrno>
#include <iconv.h>

namespace velmo {

namespace {

bool IsAscii(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Converts with iconv; on an invalid or incomplete sequence writes `replacement`
// and skips one input byte.
std::string Convert(const char* to, const char* from, std::string_view in, std::string_view replacement) {
  if (IsAscii(in)) return std::string(in);
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(in);
  std::string out;
  out.resize(in.size() * 2 + 16);
  char* src = const_cast<char*>(in.data());
  std::size_t srcLeft = in.size();
  char* dst = out.data();
  std::size_t dstLeft = out.size();
  while (srcLeft > 0) {
    std::size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    if (rc != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) {
      std::size_t used = out.size() - dstLeft;
      out.resize(out.size() * 2);
      dst = out.data() + used;
      dstLeft = out.size() - used;
      continue;
    }
    // EILSEQ or EINVAL: replace one byte and go on.
    if (dstLeft < replacement.size()) {
      std::size_t used = out.size() - dstLeft;
      out.resize(out.size() * 2);
      dst = out.data() + used;
      dstLeft = out.size() - used;
    }
    std::copy(replacement.begin(), replacement.end(), dst);
    dst += replacement.size();
    dstLeft -= replacement.size();
    ++src;
    --srcLeft;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  out.resize(out.size() - dstLeft);
  iconv_close(cd);
  return out;
}

}  // namespace

std::string GbkToUtf8(std::string_view gbk) { return Convert("UTF-8", "GBK", gbk, "\xEF\xBF\xBD"); }

std::string Utf8ToGbkText(std::string_view utf8) { return Convert("GBK", "UTF-8", utf8, "?"); }

}  // namespace velmo
