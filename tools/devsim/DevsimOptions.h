// velmo-devsim's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmo::devsim {

struct Options {
  struct Server {
    std::string host;
    std::uint16_t port = 0;
  };
  std::string host = "127.0.0.1";  // the first server (the one-shot modes use it)
  std::uint16_t port = 8899;
  std::vector<Server> servers;     // --server A,B,C: devices spread over them; empty: host:port
  bool reconnect = false;          // a device whose connection dropped connects again, to the next server
  int devices = 1;
  std::string sn;               // the SN of a single device
  std::string snPrefix = "2023";  // SNs: prefix + device number, 24 characters
  double heartbeatSeconds = 2.0;
  double durationSeconds = 0;   // 0: until Ctrl-C
  bool quiet = false;           // count commands instead of printing them
  int connectRate = 2000;       // new connections per second

  // One-shot modes: a -46 relay or -56 query for another device's SN, or a
  // file upload or download.
  enum class Request { None, Relay, Query, Upload, Download } request = Request::None;
  std::string targetSn;
  std::string requestText;
  std::string localFile;   // upload: the file sent; download: where it is written ("": its name)
  std::string remoteName;  // upload: the name on the server ("": the local file's name)
  std::string remotePath;  // download: the path asked for
  int blockSize = 99996;   // download block size
};

enum class Parse { Run, Help, Version, Error };

Parse ParseOptions(int argc, const char* const* argv, Options* options, std::string* error);
std::string Usage(const char* program);

// The SN of device `index` (0-based): the single --sn, or the prefix followed by
// the zero-padded number, 24 characters in all.
std::string DeviceSn(const Options& options, int index);

}  // namespace velmo::devsim
