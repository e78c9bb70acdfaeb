#include "tools/devsim/Requester.h"

#include "platform/TextCodec.h"
#include "tools/devsim/FrameClient.h"

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
  CFrameClient client;
  std::string error;
  if (!client.Connect(o.host, o.port, &error)) {
    std::fprintf(stderr, "velmo-devsim: %s\n", error.c_str());
    return 1;
  }
  client.SendFrame(RequestPayload(o));
  auto answer = client.ReadFrame(std::chrono::seconds(15));
  if (!answer) {
    std::fprintf(stderr, "velmo-devsim: no answer from the server\n");
    return 1;
  }
  std::fprintf(out, "%s\n", GbkToUtf8(DescribeAnswer(*answer)).c_str());
  return *answer == "-470000000000" || answer->compare(0, 13, "-570000000000") == 0 ? 0 : 1;
}

}  // namespace velmo::devsim
