// Fuzzes the -58 device-information record decoder and the two JSON texts
// made from it: any record length, never past the input, always fitting the
// 260-byte result text.
#include <cstdlib>

#include "protocol/DeviceInfoRecord.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velmo::DeviceInfo info = velmo::DecodeDeviceInfo(data, size);
  if (velmo::FormatStatusJson(info).size() > 259) std::abort();
  if (velmo::FormatQueryJson(info).size() > 259) std::abort();
  return 0;
}
