#include "tools/devsim/Transfer.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

#include "tools/devsim/FrameClient.h"

namespace velmo::devsim {

namespace {

constexpr std::size_t kUploadChunk = 32 * 1024;
constexpr auto kWait = std::chrono::seconds(15);

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int RunUpload(const Options& o, std::FILE* out) {
  int fd = open(o.localFile.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    std::fprintf(stderr, "velmo-devsim: cannot read '%s'\n", o.localFile.c_str());
    if (fd >= 0) close(fd);
    return 1;
  }
  std::string name = o.remoteName.empty() ? o.localFile.substr(o.localFile.rfind('/') + 1) : o.remoteName;
  CFrameClient client;
  std::string error;
  if (!client.Connect(o.host, o.port, &error)) {
    std::fprintf(stderr, "velmo-devsim: %s\n", error.c_str());
    close(fd);
    return 1;
  }
  char size[16];
  std::snprintf(size, sizeof size, "%010lld", static_cast<long long>(st.st_size));
  client.SendFrame("-16" + std::string(size) + name);
  auto answer = client.ReadFrame(kWait);
  if (!answer || *answer != "-170000000000") {
    std::fprintf(out, "upload of %s refused: %s\n", name.c_str(),
                 !answer ? "no answer" : *answer == "-18" ? "-18 (the server said no)" : answer->c_str());
    close(fd);
    return 1;
  }
  auto start = std::chrono::steady_clock::now();
  std::string payload = "-19";
  payload.resize(3 + kUploadChunk);
  long long sent = 0;
  int acks = 0;
  bool complete = false;
  while (sent < st.st_size) {
    ssize_t n = read(fd, payload.data() + 3, kUploadChunk);
    if (n <= 0) break;
    if (!client.SendFrame(std::string_view(payload.data(), 3 + static_cast<std::size_t>(n)))) break;
    sent += n;
  }
  close(fd);
  // Every data frame is acknowledged with -49; the last one with -20 after it.
  while (auto frame = client.ReadFrame(kWait)) {
    if (*frame == "-490000000000") ++acks;
    if (*frame == "-20") {
      complete = true;
      break;
    }
    if (*frame == "-24" || *frame == "-22") break;
  }
  double seconds = Seconds(start);
  if (!complete && st.st_size > 0) {
    std::fprintf(out, "upload of %s failed after %lld bytes\n", name.c_str(), sent);
    return 1;
  }
  std::fprintf(out, "uploaded %s: %lld bytes in %.3f s (%.1f MB/s), %d acknowledgements\n", name.c_str(), sent,
               seconds, seconds > 0 ? sent / seconds / 1e6 : 0.0, acks);
  return 0;
}

int RunDownload(const Options& o, std::FILE* out) {
  CFrameClient client;
  std::string error;
  if (!client.Connect(o.host, o.port, &error)) {
    std::fprintf(stderr, "velmo-devsim: %s\n", error.c_str());
    return 1;
  }
  char block[16];
  std::snprintf(block, sizeof block, "%010d", o.blockSize);
  client.SendFrame("-26" + std::string(block) + o.remotePath);
  auto header = client.ReadFrame(kWait);
  if (!header || header->size() < 21 || header->compare(0, 3, "-27") != 0) {
    std::fprintf(out, "download of %s: no answer (missing, or outside what the server serves)\n", o.remotePath.c_str());
    return 1;
  }
  unsigned long long total = std::strtoull(header->substr(3, 10).c_str(), nullptr, 10);
  unsigned long expected = std::strtoul(header->substr(13, 8).c_str(), nullptr, 16);
  std::string name = header->substr(21);
  std::string target = o.localFile.empty() ? name : o.localFile;
  int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::fprintf(stderr, "velmo-devsim: cannot write '%s'\n", target.c_str());
    return 1;
  }
  auto start = std::chrono::steady_clock::now();
  uLong crc = crc32(0L, Z_NULL, 0);
  unsigned long long got = 0;
  bool ok = true;
  while (got < total && ok) {
    client.SendFrame("-29");
    auto data = client.ReadFrame(kWait);
    ok = data && data->size() > 3 && data->compare(0, 3, "-39") == 0;
    if (!ok) break;
    std::size_t n = data->size() - 3;
    crc = crc32(crc, reinterpret_cast<const Bytef*>(data->data() + 3), static_cast<uInt>(n));
    ok = write(fd, data->data() + 3, n) == static_cast<ssize_t>(n);
    got += n;
  }
  close(fd);
  double seconds = Seconds(start);
  bool crcOk = ok && crc == expected;
  std::fprintf(out, "downloaded %s to %s: %llu of %llu bytes in %.3f s (%.1f MB/s), CRC-32 %08lx %s\n",
               o.remotePath.c_str(), target.c_str(), got, total, seconds, seconds > 0 ? got / seconds / 1e6 : 0.0,
               static_cast<unsigned long>(crc), crcOk ? "matches" : "DOES NOT MATCH the header");
  return crcOk && got == total ? 0 : 1;
}

}  // namespace velmo::devsim
