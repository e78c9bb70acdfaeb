// The texts of heartbeat replies.
#pragma once

#include <string>
#include <string_view>

#include "platform/Clock.h"

namespace velmo {

// "Set time %04d %02d %02d %01d% 02d %02d %02d \n" from the local date and time.
std::string FormatClockCommand(const platform::LocalTime& t);

// "led 12t 0 0 0 %s \n" with `text` up to its first zero byte, cut to 261 bytes.
std::string FormatLedCommand(std::string_view text);

// Reads the LED text file: false when it cannot be opened or locked for
// exclusive reading, or is not a regular file. At most 10240 bytes are read.
bool ReadLedFile(const std::string& path, std::string* text);

}  // namespace velmo
