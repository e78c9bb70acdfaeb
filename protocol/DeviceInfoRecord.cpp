#include "protocol/DeviceInfoRecord.h"

#include <cstring>

namespace velmo {

namespace {
constexpr std::size_t kRuntime = 49, kMac = 79, kVersion = 193, kIp = 251;

std::uint16_t Word(const std::uint8_t* b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
void PutWord(std::string& s, std::size_t at, std::uint16_t v) {
  s[at] = static_cast<char>(v & 0xFF);
  s[at + 1] = static_cast<char>(v >> 8);
}
}  // namespace

DeviceInfo DecodeDeviceInfo(const std::uint8_t* record, std::size_t length) {
  std::uint8_t buffer[kDeviceRecordBufferBytes] = {};
  std::memcpy(buffer, record, length < sizeof buffer ? length : sizeof buffer);
  DeviceInfo info;
  for (std::size_t i = 0; i < 6; ++i) info.runtime[i] = Word(buffer, kRuntime + 2 * i);
  for (std::size_t i = 0; i < 6; ++i) info.mac[i] = Word(buffer, kMac + 2 * i);
  for (std::size_t i = 0; i < 3; ++i) info.version[i] = Word(buffer, kVersion + 2 * i);
  std::memcpy(info.ip, buffer + kIp, 4);
  return info;
}

std::string EncodeDeviceInfo(const DeviceInfo& info) {
  std::string record(kDeviceRecordMinBytes, '\0');
  for (std::size_t i = 0; i < 6; ++i) PutWord(record, kRuntime + 2 * i, info.runtime[i]);
  for (std::size_t i = 0; i < 6; ++i) PutWord(record, kMac + 2 * i, info.mac[i]);
  for (std::size_t i = 0; i < 3; ++i) PutWord(record, kVersion + 2 * i, info.version[i]);
  std::memcpy(record.data() + kIp, info.ip, 4);
  return record;
}

}  // namespace velmo
