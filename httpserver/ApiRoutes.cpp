#include "httpserver/ApiRoutes.h"

#include <cstdio>

#include "protocol/DeviceInfoRecord.h"
#include "socketserver/ClientRegistry.h"
#include "socketserver/DeviceExchange.h"
#include "socketserver/ServerClientSocket.h"

namespace velmo {

namespace {

constexpr std::size_t kMaxCommandBody = 258;  // the body + "\n" + terminator fill 260 bytes

void Log(void* context, const std::string& line) {
  auto* api = static_cast<ApiContext*>(context);
  if (api && api->appendLog) api->appendLog(line);
}

std::chrono::milliseconds Stage(void* context) {
  auto* api = static_cast<ApiContext*>(context);
  return api ? api->deviceWait : kDeviceWaitStage;
}

}  // namespace

std::string SendDeviceCommand(const std::string& sn, const std::string& command, std::chrono::milliseconds stage) {
  int status = 0;
  if (auto target = CClientRegistry::Process().FindBySn(sn)) {
    status = QueueAndWait(*target, command, false, stage) ? 1 : 2;
  }
  char result[64];
  std::snprintf(result, sizeof result, "{ \"device_online_status\": %d }", status);
  return result;
}

std::string QueryDeviceInfo(const std::string& sn, std::chrono::milliseconds stage) {
  const std::string offline = "{ \"device_online_status\": 0}";
  auto target = CClientRegistry::Process().FindBySn(sn);
  if (!target) return offline;
  QueryAnswer answer = QueryAndWait(*target, "query dev_infos", true, stage);
  if (!answer.answered) return offline;
  return FormatStatusJson(DecodeDeviceInfo(answer.record.data(), answer.length));
}

bool OnApiCmd(void* context, std::string uri, std::string body, std::string sn, HttpConnection* conn,
              ReplySender reply) {
  Log(context, "Http Recv:url  = " + uri);
  Log(context, "Http Recv:sn  = " + sn);
  Log(context, "Http Recv:body  = " + body);
  std::string result =
      body.size() > kMaxCommandBody ? std::string("body too long") : SendDeviceCommand(sn, body + "\n", Stage(context));
  Log(context, "Http Recv:result:" + result);
  reply(conn, result);
  return true;
}

bool OnApiStatus(void* context, std::string uri, std::string /*body*/, std::string sn, HttpConnection* conn,
                 ReplySender reply) {
  Log(context, "Http Recv:url  = " + uri);
  std::string result = QueryDeviceInfo(sn, Stage(context));
  Log(context, "Http Recv:sn  = " + sn + ",result:" + result);
  reply(conn, result);
  return true;
}

}  // namespace velmo
