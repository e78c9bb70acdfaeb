// Fuzzes the bare HTTP "POST" relay on the device port: every input is a
// request that begins "POST /".
#include <string>

#include "fuzz/ProtocolHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static velmo::fuzz::CProtocolHarness harness;
  std::string request = "\x80\x80POST /";  // two split bytes, then the request
  request.append(reinterpret_cast<const char*>(data), size);
  harness.Run(reinterpret_cast<const std::uint8_t*>(request.data()) + 2, request.size() - 2);
  return 0;
}
