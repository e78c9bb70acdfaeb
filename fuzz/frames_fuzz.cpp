// Fuzzes the frame reassembler with the whole dispatch behind it: any bytes a
// peer can send on the device port.
#include "fuzz/ProtocolHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static velmo::fuzz::CProtocolHarness harness;
  harness.Run(data, size);
  return 0;
}
