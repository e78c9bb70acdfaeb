#include "httpserver/ApiRoutes.h"

#include <cstdio>

#include "protocol/DeviceInfoRecord.h"
#include "socketserver/DeviceReach.h"

namespace velmo {

namespace {

ApiContext* Api(void* context) { return static_cast<ApiContext*>(context); }

void Log(ApiContext* api, const std::string& line) {
  if (api && api->appendLog) api->appendLog(line);
}

// Answers the request from the HTTP thread (a request without a connection,
// fuzzing, at once), logging `line(result)` first.
auto Answerer(ApiContext* api, HttpConnection* conn, ReplySender reply, std::function<std::string(const std::string&)> line) {
  return [api, handle = HttpServer::Handle(conn), conn, reply, line = std::move(line)](const std::string& result) {
    Log(api, line(result));
    if (!conn) return reply(nullptr, result);
    if (auto c = handle.lock()) reply(c.get(), result);
  };
}

}  // namespace

std::string CommandAnswer(int status) {
  char result[64];
  std::snprintf(result, sizeof result, "{ \"device_online_status\": %d }", status);
  return result;
}

std::string StatusAnswer(const QueryAnswer& answer) {
  if (!answer.answered) return "{ \"device_online_status\": 0}";
  return FormatStatusJson(DecodeDeviceInfo(answer.record.data(), answer.length));
}

bool OnApiCmd(void* context, std::string uri, std::string body, std::string sn, HttpConnection* conn,
              ReplySender reply) {
  ApiContext* api = Api(context);
  Log(api, "Http Recv:url  = " + uri);
  Log(api, "Http Recv:sn  = " + sn);
  Log(api, "Http Recv:body  = " + body);
  auto answer = Answerer(api, conn, reply, [](const std::string& result) { return "Http Recv:result:" + result; });
  ReachRequest request;
  request.sn = std::move(sn);
  request.text = std::move(body);
  request.source = CommandSource::Api;
  auto decided = [answer](CommandOutcome outcome) {
    switch (outcome) {
      case CommandOutcome::Taken: return answer(CommandAnswer(1));
      case CommandOutcome::Queued: return answer(CommandAnswer(2));  // it stays queued
      case CommandOutcome::Offline: return answer(CommandAnswer(0));
      case CommandOutcome::Refused: return answer("body too long");
    }
  };
  if (!api || !api->reach) {
    decided(request.text.size() > kMaxCommandText ? CommandOutcome::Refused : CommandOutcome::Offline);
    return true;
  }
  api->reach->Command(HttpServer::Home(conn), std::move(request), decided);
  return true;
}

bool OnApiStatus(void* context, std::string uri, std::string /*body*/, std::string sn, HttpConnection* conn,
                 ReplySender reply) {
  ApiContext* api = Api(context);
  Log(api, "Http Recv:url  = " + uri);
  auto answer = Answerer(api, conn, reply, [sn](const std::string& result) {
    return "Http Recv:sn  = " + sn + ",result:" + result;
  });
  if (!api || !api->reach) {
    answer(StatusAnswer(QueryAnswer{}));
    return true;
  }
  ReachRequest request;
  request.sn = std::move(sn);
  request.text = "query dev_infos";
  api->reach->Query(HttpServer::Home(conn), std::move(request),
                    [answer](const QueryOutcome& outcome) { answer(StatusAnswer(outcome.answer)); });
  return true;
}

}  // namespace velmo
