// GBK <-> UTF-8 at the edges of Velmo. Inside, texts are GBK bytes; they become
// UTF-8 only where they meet a terminal, a log file or the window toolkit.
// Thread safety: the functions keep no shared state.
#pragma once

#include <string>
#include <string_view>

namespace velmo {

// Converts GBK bytes to UTF-8 with glibc iconv. Bytes that are not valid GBK
// (device data can be anything) become U+FFFD, one per byte; nothing is lost
// silently and nothing is read past the input. ASCII passes straight through.
std::string GbkToUtf8(std::string_view gbk);

// Converts UTF-8 to GBK (for Velmo's own fixed texts, which are written in UTF-8
// in the sources). Characters GBK lacks become "?".
std::string Utf8ToGbkText(std::string_view utf8);

}  // namespace velmo
