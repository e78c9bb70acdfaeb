// A process's figures as /proc shows them, for the churn test and the soak
// run. `proc` is a PID as text, or "self". Every function reads afresh and
// returns -1 when the process (or the field) is not there.
#pragma once

#include <dirent.h>

#include <fstream>
#include <string>

namespace velmo::procstat {

// A "Name:   value" field of /proc/PROC/status (VmRSS in KB, Threads, ...).
inline long StatusField(const std::string& proc, const std::string& name) {
  std::ifstream in("/proc/" + proc + "/status");
  std::string key;
  while (in >> key) {
    if (key == name + ":") {
      long value = -1;
      in >> value;
      return value;
    }
    in.ignore(1 << 12, '\n');
  }
  return -1;
}

// How many descriptors the process has open.
inline int OpenDescriptors(const std::string& proc) {
  DIR* d = opendir(("/proc/" + proc + "/fd").c_str());
  if (!d) return -1;
  int n = 0;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  closedir(d);
  return n;
}

}  // namespace velmo::procstat
