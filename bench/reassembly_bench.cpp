// Frame reassembly throughput: a 32 KiB receive full of heartbeat frames fed to
// the reassembler, next to a plain memcpy of the same bytes.
//   ./build/bench/reassembly_bench
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "protocol/FrameAssembler.h"

namespace {

std::vector<std::uint8_t> HeartbeatReceive() {
  const std::string frame = "@00027-3620210807001e00383436470a";  // 33 bytes
  std::vector<std::uint8_t> bytes;
  while (bytes.size() < 32768) bytes.insert(bytes.end(), frame.begin(), frame.end());
  bytes.resize(32768);  // the last frame is cut and completed by the next receive
  return bytes;
}

struct CountingSink : velmo::CFrameAssembler::Sink {
  long frames = 0;
  bool OnFrame(int code, const std::uint8_t* payload, int length) override {
    frames += code;
    benchmark::DoNotOptimize(payload);
    benchmark::DoNotOptimize(length);
    return false;
  }
  velmo::CFrameAssembler::PostVerdict OnPost(const std::uint8_t*, int) override { return {}; }
  bool Stopping() const override { return false; }
};

void BM_Reassembly(benchmark::State& state) {
  auto bytes = HeartbeatReceive();
  velmo::CFrameAssembler assembler;
  CountingSink sink;
  for (auto _ : state) {
    assembler.AssembleFrames(bytes.data(), static_cast<int>(bytes.size()), sink);
  }
  benchmark::DoNotOptimize(sink.frames);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(BM_Reassembly);

void BM_Memcpy(benchmark::State& state) {
  auto bytes = HeartbeatReceive();
  std::vector<std::uint8_t> target(bytes.size());
  for (auto _ : state) {
    std::memcpy(target.data(), bytes.data(), bytes.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(BM_Memcpy);

}  // namespace

BENCHMARK_MAIN();
