// Process helpers. Thread safety: all functions may be called from any thread.
#pragma once

#include <string>

namespace velmo::platform {

// The directory of the running executable with its trailing "/", or "./" when
// it cannot be told.
std::string ExecutableDir();

// True when a graphical display is reachable through the environment
// (DISPLAY or WAYLAND_DISPLAY set and not empty).
bool DisplayAvailable();

}  // namespace velmo::platform
