// The protocol fuzzers' harness: each input gets a fresh device connection of
// the test fixture (tests/ProtocolFixture.h: the real connection and protocol
// objects, every context run on the fuzzing thread, waits for devices cut to
// nothing), so runs are reproducible.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tests/ProtocolFixture.h"

namespace velmo::fuzz {

class CProtocolHarness {
 public:
  // Feeds `bytes` to a fresh connection as up to three receives (split where
  // the input's first two bytes say), running everything that work queued
  // after each one, and tears the connection down.
  void Run(const std::uint8_t* bytes, std::size_t size);

 private:
  test::CProtocolFixture fixture_;
};

}  // namespace velmo::fuzz
