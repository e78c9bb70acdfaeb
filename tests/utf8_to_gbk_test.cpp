// UTF-8 to GBK: pass-through rules, the table, failure on four-byte sequences.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "platform/Utf8ToGbk.h"

namespace velmo::test {
namespace {

// Returns the converted bytes, or "ERR" on failure.
std::string Convert(const std::string& in) {
  std::string out(in.size() + 1, '\x7f');
  int length = 12345;
  if (Utf8ToGbk(in.data(), static_cast<int>(in.size()), out.data(), &length) != 0) {
    EXPECT_EQ(length, 12345) << "the output length must stay as it was";
    return "ERR";
  }
  return out.substr(0, static_cast<std::size_t>(length));
}

TEST(Utf8ToGbk, Table) {
  struct {
    const char* name;
    std::string in, out;
  } cases[] = {
      {"empty", "", ""},
      {"ascii", "led on 12", "led on 12"},
      {"zhong", "\xE4\xB8\xAD", "\xD6\xD0"},
      {"yi", "\xE4\xB8\x80", "\xD2\xBB"},
      {"last ideograph", "\xE9\xBE\xA5", "\xFD\x9B"},
      {"brackets", "\xE3\x80\x90x\xE3\x80\x91", "\xA3\xDBx\xA3\xDD"},
      {"full-width colon", "\xEF\xBC\x9A", "\xA3\xBA"},
      {"ellipsis", "\xE2\x80\xA6", "\xA1\xAD"},
      {"euro", "\xE2\x82\xAC", "\xA1\xEF"},
      {"ideographic space", "\xE3\x80\x80", "\xA1\xEF"},
      {"hangul", "\xEA\xB0\x80", "\xA1\xEF"},
      {"mixed", "a\xE4\xB8\xAD" "b", "a\xD6\xD0" "b"},
      {"two-byte character passes all through", "\xE4\xB8\xAD\xC3\xA9\xE4\xB8\xAD", "\xE4\xB8\xAD\xC3\xA9\xE4\xB8\xAD"},
      {"gbk input passes through", "\xD6\xD0\xCE\xC4", "\xD6\xD0\xCE\xC4"},
      {"stray continuation", "a\x80", "a\x80"},
      {"lead as last byte", "\xE4\xB8\xAD\xE4", "\xE4\xB8\xAD\xE4"},
      {"lead second to last", "\xE4\xB8\xAD\xE4\xB8", "\xE4\xB8\xAD\xE4\xB8"},
      {"bad continuation", "\xE4\x41\x41", "\xE4\x41\x41"},
      {"emoji fails", "\xE4\xB8\xAD\xF0\x9F\x98\x80", "ERR"},
      {"nul is ascii", std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const auto& c : cases) EXPECT_EQ(Convert(c.in), c.out) << c.name;
}

TEST(Utf8ToGbk, EveryIdeographHasATwoByteGbkCode) {
  for (unsigned cp = 0x4E00; cp <= 0x9FA5; ++cp) {
    unsigned code = GbkCodeOf(cp);
    ASSERT_GE(code >> 8, 0x81u) << std::hex << cp;
    ASSERT_NE(code & 0xFF, 0x7Fu) << std::hex << cp;
    ASSERT_NE(code, 0xA1EFu) << std::hex << cp;
  }
  EXPECT_EQ(GbkCodeOf(0x4DFF), 0xA1EFu);
  EXPECT_EQ(GbkCodeOf(0x9FA6), 0xA1EFu);
}

TEST(Utf8ToGbk, OutputNeverLongerThanInputAndNegativeLengthFails) {
  std::mt19937 rng(7);
  for (int round = 0; round < 2000; ++round) {
    std::string in(rng() % 40, '\0');
    for (auto& ch : in) ch = static_cast<char>(rng() % 3 ? 0xE0 + rng() % 0x20 : rng());
    std::string out(in.size(), '\0');
    int length = -1;
    if (Utf8ToGbk(in.data(), static_cast<int>(in.size()), out.data(), &length) == 0) {
      ASSERT_LE(length, static_cast<int>(in.size()));
    }
  }
  char out[4];
  int length = 3;
  EXPECT_EQ(Utf8ToGbk("abc", -1, out, &length), -1);
  EXPECT_EQ(length, 3);
}

}  // namespace
}  // namespace velmo::test
