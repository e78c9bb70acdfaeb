#include "protocol/DeviceInfoRecord.h"

#include <cstdio>
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

std::string FormatStatusJson(const DeviceInfo& i) {
  char text[260];
  std::snprintf(text, sizeof text,
                "{ \"device_online_status\": %d , \"version\": \"%02d.%02d.%02d\" , \"ip\" : \"%d.%d.%d.%d\", "
                "\"mac\" : \"%02X:%02X:%02X:%02X:%02X:%02X\",\"runtime\" : \"%04d-%02d-%02d %02d:%02d:%02d\"}",
                1, i.version[0], i.version[1], i.version[2], i.ip[0], i.ip[1], i.ip[2], i.ip[3], i.mac[0], i.mac[1],
                i.mac[2], i.mac[3], i.mac[4], i.mac[5], i.runtime[0], i.runtime[1], i.runtime[2], i.runtime[3],
                i.runtime[4], i.runtime[5]);
  return text;
}

std::string FormatQueryJson(const DeviceInfo& i) {
  char text[260];
  std::snprintf(text, sizeof text,
                "{ \"version\": %02d.%02d.%02d , \"ip\" : \"%d.%d.%d.%d\", "
                "\"mac\" : \"%02X:%02X:%02X:%02X:%02X:%02X\",\"runtime\" : \"%04d-%02d-%02d %02d:%02d:%02d\"}",
                i.version[0], i.version[1], i.version[2], i.ip[0], i.ip[1], i.ip[2], i.ip[3], i.mac[0], i.mac[1],
                i.mac[2], i.mac[3], i.mac[4], i.mac[5], i.runtime[0], i.runtime[1], i.runtime[2], i.runtime[3],
                i.runtime[4], i.runtime[5]);
  return text;
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
