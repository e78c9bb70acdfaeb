// Utf8ToGbk on a 4 KiB mixed Chinese/ASCII text, next to glibc iconv doing
// UTF-8 to GBK on the same text.
//   ./build/bench/utf8_to_gbk_bench
#include <benchmark/benchmark.h>
#include <iconv.h>

#include <string>
#include <vector>

#include "platform/Utf8ToGbk.h"

namespace {

std::string MixedText() {
  const std::string piece = "led 12t 0 0 0 \xE4\xBB\x8A\xE5\xA4\xA9\xE5\xA4\xA9\xE6\xB0\x94 25C, "
                            "\xE6\x99\xB4\xE8\xBD\xAC\xE5\xA4\x9A\xE4\xBA\x91\xEF\xBC\x8C"
                            "\xE4\xB8\x9C\xE5\x8D\x97\xE9\xA3\x8E 3 \xE7\xBA\xA7\xE3\x80\x82\n";
  std::string text;
  while (text.size() + piece.size() <= 4096) text += piece;
  return text;
}

void BM_Utf8ToGbk(benchmark::State& state) {
  std::string text = MixedText();
  std::vector<char> out(text.size());
  for (auto _ : state) {
    int length = 0;
    velmo::Utf8ToGbk(text.data(), static_cast<int>(text.size()), out.data(), &length);
    benchmark::DoNotOptimize(length);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_Utf8ToGbk);

void BM_Iconv(benchmark::State& state) {
  std::string text = MixedText();
  std::vector<char> out(text.size() * 2);
  iconv_t cd = iconv_open("GBK", "UTF-8");
  for (auto _ : state) {
    char* in = text.data();
    std::size_t inLeft = text.size();
    char* o = out.data();
    std::size_t outLeft = out.size();
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    iconv(cd, &in, &inLeft, &o, &outLeft);
    benchmark::DoNotOptimize(outLeft);
    benchmark::ClobberMemory();
  }
  iconv_close(cd);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_Iconv);

}  // namespace

BENCHMARK_MAIN();
