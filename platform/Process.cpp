#include "platform/Process.h"

#include <cstdlib>
#include <limits.h>
#include <unistd.h>

namespace velmo::platform {

std::string ExecutableDir() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "./";
  std::string full(path, static_cast<std::size_t>(n));
  auto slash = full.rfind('/');
  if (slash == std::string::npos) return "./";
  return full.substr(0, slash + 1);
}

bool DisplayAvailable() {
  const char* x = std::getenv("DISPLAY");
  const char* w = std::getenv("WAYLAND_DISPLAY");
  return (x && *x) || (w && *w);
}

}  // namespace velmo::platform
