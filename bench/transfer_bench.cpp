// File transfer throughput over loopback: velmo-devsim uploading a file in
// 32 KiB -19 frames and downloading it in 99 996-byte blocks, next to a plain
// TCP copy of the same bytes into a file on the same disk, in the same run.
//   ./build/bench/transfer_bench [MiB=256] [directory=/tmp]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bench/BenchSupport.h"
#include "tools/devsim/Transfer.h"

using namespace std::chrono;
namespace fs = std::filesystem;

namespace {

double Mb(std::uintmax_t bytes, double seconds) { return bytes / seconds / 1e6; }

// Plain TCP: one side reads `from` and sends it, the other writes what arrives to `to`.
double PlainCopy(const fs::path& from, const fs::path& to) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(listener, 1);
  socklen_t len = sizeof a;
  getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  auto start = steady_clock::now();
  std::thread receiver([&] {
    int c = accept(listener, nullptr, nullptr);
    int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char> buf(32768);
    for (ssize_t n; (n = recv(c, buf.data(), buf.size(), 0)) > 0;) {
      if (write(out, buf.data(), static_cast<std::size_t>(n)) != n) break;
    }
    close(out);
    close(c);
  });
  int s = socket(AF_INET, SOCK_STREAM, 0);
  connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  int in = open(from.c_str(), O_RDONLY);
  std::vector<char> buf(32768);
  for (ssize_t n; (n = read(in, buf.data(), buf.size())) > 0;) send(s, buf.data(), static_cast<std::size_t>(n), 0);
  close(in);
  close(s);
  receiver.join();
  close(listener);
  return duration<double>(steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const std::uintmax_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
  const fs::path base = fs::path(argc > 2 ? argv[2] : "/tmp") / ("velmo-transfer-bench-" + std::to_string(getpid()));
  const fs::path files = base / "files";
  fs::create_directories(files);
  const fs::path source = base / "source.bin";
  {
    std::ofstream out(source, std::ios::binary);
    std::mt19937_64 rng(1);
    std::vector<std::uint64_t> block(1 << 17);
    for (std::uintmax_t done = 0; done < mib; ++done) {
      for (auto& w : block) w = rng();
      out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size() * 8));
    }
  }
  const std::uintmax_t bytes = fs::file_size(source);

  velmo::bench::CInProcessServer server(files.string() + "/");

  velmo::devsim::Options o;
  o.port = server.Port();
  std::FILE* quiet = std::fopen("/dev/null", "w");

  double plainUp = PlainCopy(source, base / "plain-up.bin");
  o.localFile = source.string();
  o.remoteName = "uploaded.bin";
  auto t0 = steady_clock::now();
  int upRc = velmo::devsim::RunUpload(o, quiet);
  double up = duration<double>(steady_clock::now() - t0).count();

  double plainDown = PlainCopy(files / "uploaded.bin", base / "plain-down.bin");
  o.remotePath = "uploaded.bin";
  o.localFile = (base / "downloaded.bin").string();
  o.blockSize = 99996;
  t0 = steady_clock::now();
  int downRc = velmo::devsim::RunDownload(o, quiet);
  double down = duration<double>(steady_clock::now() - t0).count();
  std::fclose(quiet);

  bool same = upRc == 0 && downRc == 0 && fs::file_size(files / "uploaded.bin") == bytes &&
              fs::file_size(base / "downloaded.bin") == bytes;
  std::printf("transfer_bench: %ju MiB over loopback into %s\n", mib, base.c_str());
  std::printf("  upload   (32 KiB -19 frames): %8.1f MB/s   plain TCP copy: %8.1f MB/s   ratio %.2f\n", Mb(bytes, up),
              Mb(bytes, plainUp), plainUp / up);
  std::printf("  download (99996-byte blocks): %8.1f MB/s   plain TCP copy: %8.1f MB/s   ratio %.2f\n", Mb(bytes, down),
              Mb(bytes, plainDown), plainDown / down);
  std::printf("  files complete: %s\n", same ? "yes" : "NO");

  fs::remove_all(base);
  return same ? 0 : 1;
}
