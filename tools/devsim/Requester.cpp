#include "tools/devsim/Requester.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/TextCodec.h"

namespace velmo::devsim {

std::string RequestPayload(const Options& o) {
  std::string sn = o.targetSn;
  sn.resize(24, '\0');
  return (o.request == Options::Request::Relay ? "-46" : "-56") + sn + o.requestText;
}

std::string DescribeAnswer(const std::string& p) {
  if (p == "-470000000000") return "-470000000000: the device took the text";
  if (p == "-470000000001") return "-470000000001: the device is connected but did not take the text in time (it stays queued)";
  if (p == "-470000000002") return "-470000000002: no device has that SN";
  if (p.compare(0, 13, "-570000000000") == 0) return p;
  if (p == "-570000000001") return "-570000000001: the device did not take the query or did not answer in time";
  if (p == "-570000000002") return "-570000000002: no device has that SN";
  return "unexpected answer: " + p;
}

int RunRequest(const Options& o, std::FILE* out) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(o.port);
  if (inet_pton(AF_INET, o.host.c_str(), &sa.sin_addr) != 1 ||
      connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    std::fprintf(stderr, "velmo-devsim: connect to %s:%u: %s\n", o.host.c_str(), o.port, std::strerror(errno));
    close(fd);
    return 1;
  }
  std::string payload = RequestPayload(o);
  char header[8];
  std::snprintf(header, sizeof header, "@%05zu", payload.size());
  std::string frame = header + payload;
  send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);

  std::string in;
  char buffer[4096];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 15000) <= 0) break;
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    in.append(buffer, static_cast<std::size_t>(n));
    auto at = in.find('@');
    if (at == std::string::npos || in.size() < at + 6) continue;
    std::size_t length = static_cast<std::size_t>(std::atoi(in.substr(at + 1, 5).c_str()));
    if (in.size() < at + 6 + length) continue;
    std::string answer = in.substr(at + 6, length);
    close(fd);
    std::fprintf(out, "%s\n", GbkToUtf8(DescribeAnswer(answer)).c_str());
    return answer == "-470000000000" || answer.compare(0, 13, "-570000000000") == 0 ? 0 : 1;
  }
  close(fd);
  std::fprintf(stderr, "velmo-devsim: no answer from the server\n");
  return 1;
}

}  // namespace velmo::devsim
