// The texts of heartbeat replies, and the LED file.
#pragma once

#include <string>
#include <string_view>

#include "platform/Clock.h"

namespace velmo {

// "Set time %04d %02d %02d %01d% 02d %02d %02d \n" from the local date and time.
std::string FormatClockCommand(const platform::LocalTime& t);

// "led 12t 0 0 0 %s \n" with `text` up to its first zero byte, cut to 261 bytes.
std::string FormatLedCommand(std::string_view text);

// Blocking (run it on a file thread). Reads the LED text file: at most 10240
// bytes. Returns false when it cannot be opened or locked for exclusive
// reading, or is not a regular file; then `refusal` says why when the file
// exists but is no regular file (a FIFO, device, socket or directory), and is
// left empty when it is merely missing or unreadable. The file is opened
// non-blocking, so a FIFO never holds the reader.
bool ReadLedFile(const std::string& path, std::string* text, std::string* refusal);

}  // namespace velmo
