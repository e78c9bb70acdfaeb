#include "fuzz/ProtocolHarness.h"

#include <algorithm>
#include <string_view>

namespace velmo::fuzz {

void CProtocolHarness::Run(const std::uint8_t* bytes, std::size_t size) {
  test::CProtocolFixture::Device d = fixture_.Connect();
  if (!d.conn) return;
  std::size_t cuts[2] = {size, size};
  if (size >= 2) {
    cuts[0] = std::min<std::size_t>(bytes[0] * size / 256, size);
    cuts[1] = std::max(cuts[0], std::min<std::size_t>(bytes[1] * size / 256 + cuts[0], size));
  }
  std::size_t from = 0;
  for (std::size_t to : {cuts[0], cuts[1], size}) {
    if (to > from) {
      fixture_.Feed(d, std::string_view(reinterpret_cast<const char*>(bytes) + from, to - from));
      fixture_.Settle();  // heartbeat replies, relays, transfer steps, close reports
      fixture_.Received(d);
    }
    from = to;
  }
  fixture_.Close(d);
}

}  // namespace velmo::fuzz
