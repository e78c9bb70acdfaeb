// DeviceInfoRecord: the binary record a device sends with "-58" (from payload
// byte 27 on). Only these fields are read; 16-bit words are little-endian:
//
//   offset  49: 6 words  year, month, day, hour, minute, second
//   offset  79: 6 words  MAC, one byte value per word
//   offset 193: 3 words  version major, minor, patch
//   offset 251: 4 bytes  IPv4 address, first octet first
//
// A reader takes at most kBufferBytes into a zeroed buffer, so a short record
// reads as zeros beyond its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace velmo {

struct DeviceInfo {
  std::uint16_t runtime[6] = {};  // year, month, day, hour, minute, second
  std::uint16_t mac[6] = {};
  std::uint16_t version[3] = {};
  std::uint8_t ip[4] = {};
};

constexpr std::size_t kDeviceRecordBufferBytes = 908;
constexpr std::size_t kDeviceRecordMinBytes = 255;

// Decodes the first `length` bytes of a record (bytes beyond kDeviceRecordBufferBytes
// and beyond `length` read as 0). Never reads past `length`.
DeviceInfo DecodeDeviceInfo(const std::uint8_t* record, std::size_t length);

// The "/api/status" answer for an answering device (status 1, version quoted).
std::string FormatStatusJson(const DeviceInfo& info);
// The JSON of a -57 answer (the version without quotation marks).
std::string FormatQueryJson(const DeviceInfo& info);

// Encodes `info` into a record of kDeviceRecordMinBytes bytes (the device side).
std::string EncodeDeviceInfo(const DeviceInfo& info);

}  // namespace velmo
