// A process's figures as /proc shows them, for the churn test, the soak run
// and Velmo's own metrics. `proc` is a PID as text, or "self". Every function reads afresh and
// returns -1 when the process (or the field) is not there.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

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
  // Linux 6.2 and later give the count as the directory's size: no walk
  // over tens of thousands of entries. Older kernels say 0.
  struct stat st {};
  if (stat(("/proc/" + proc + "/fd").c_str(), &st) == 0 && st.st_size > 0) return static_cast<int>(st.st_size);
  DIR* d = opendir(("/proc/" + proc + "/fd").c_str());
  if (!d) return -1;
  int n = 0;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  closedir(d);
  return n;
}

// Fields of /proc/PROC/stat: CPU time (user + system) and the start, in
// seconds (the start since boot); virtual and resident memory in bytes.
// All -1 when the process is not there.
struct StatFields {
  double cpuSeconds = -1;
  double startSecondsSinceBoot = -1;
  long long virtualBytes = -1;
  long long residentBytes = -1;
};

inline StatFields ReadStat(const std::string& proc) {
  StatFields f;
  std::ifstream in("/proc/" + proc + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The command name may hold spaces and parentheses: fields follow the last ')'.
  auto close = text.rfind(')');
  if (close == std::string::npos) return f;
  std::istringstream rest(text.substr(close + 2));
  std::string field;
  std::vector<std::string> fields;  // from field 3 (state) on
  while (rest >> field) fields.push_back(field);
  if (fields.size() < 22) return f;
  const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
  f.cpuSeconds = (std::stod(fields[11]) + std::stod(fields[12])) / tick;  // utime, stime
  f.startSecondsSinceBoot = std::stod(fields[19]) / tick;               // starttime
  f.virtualBytes = std::stoll(fields[20]);                              // vsize
  f.residentBytes = std::stoll(fields[21]) * sysconf(_SC_PAGESIZE);     // rss pages
  return f;
}

// The moment the system booted, in seconds since the epoch (-1 if unknown).
inline long long BootTime() {
  std::ifstream in("/proc/stat");
  std::string key;
  while (in >> key) {
    if (key == "btime") {
      long long value = -1;
      in >> value;
      return value;
    }
    in.ignore(1 << 16, '\n');
  }
  return -1;
}

}  // namespace velmo::procstat
