#include "httpserver/ApiRoutes.h"

#include <atomic>
#include <cstdio>

#include "protocol/DeviceInfoRecord.h"
#include "socketserver/ClientRegistry.h"
#include "socketserver/FleetCounters.h"
#include "socketserver/RemoteDevices.h"
#include "socketserver/ServerClientSocket.h"

namespace velmo {

namespace {

constexpr std::size_t kMaxCommandBody = 258;  // the body + "\n" + terminator fill 260 bytes
// A status query's own bound beyond its two stages, so that the device's
// round decides first.
constexpr std::chrono::milliseconds kQueryMargin{500};

ApiContext* Api(void* context) { return static_cast<ApiContext*>(context); }

void Log(ApiContext* api, const std::string& line) {
  if (api && api->appendLog) api->appendLog(line);
}

std::chrono::milliseconds Stage(ApiContext* api) { return api ? api->deviceWait : kDeviceWaitStage; }

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
  // Answers the request, from the HTTP thread, once.
  auto answer = [api, handle = HttpServer::Handle(conn), conn, reply](const std::string& result) {
    Log(api, "Http Recv:result:" + result);
    if (!conn) return reply(nullptr, result);  // a request without a connection (fuzzing)
    if (auto c = handle.lock()) reply(c.get(), result);
  };
  if (body.size() > kMaxCommandBody) {
    answer("body too long");
    return true;
  }
  auto target = CClientRegistry::Process().FindBySn(sn);
  platform::GatePtr home = HttpServer::Home(conn);
  auto remote = target ? nullptr : RemoteDevices();
  if (remote && home) {
    // Held by another node, or by none: that node decides, within the same bound.
    auto once = std::make_shared<std::atomic<bool>>(false);
    auto decide = [answer, once, start = std::chrono::steady_clock::now()](CommandResult result) {
      if (once->exchange(true)) return;
      if (result != CommandResult::Offline) {
        CFleetCounters::Process().CommandWait(std::chrono::steady_clock::now() - start);
      }
      CFleetCounters::Process().Command(result);
      answer(CommandAnswer(result == CommandResult::Offline ? 0 : result == CommandResult::Taken ? 1 : 2));
    };
    remote->SendCommand(sn, body, true, Stage(api), home, [decide](const RemoteCommandResult& r) {
      decide(!r.held ? CommandResult::Offline : r.taken ? CommandResult::Taken : CommandResult::Queued);
    });
    HttpServer::SetDeadline(conn, Stage(api) + kRemoteAnswerMargin, [decide] { decide(CommandResult::Queued); });
    return true;
  }
  if (!target || !home) {
    CFleetCounters::Process().Command(CommandResult::Offline);
    answer(CommandAnswer(0));
    return true;
  }
  auto wait = CCommandWait::Start(target->Mailbox(), body, true, home,
                                  [answer, start = std::chrono::steady_clock::now()](bool taken) {
    CFleetCounters::Process().CommandWait(std::chrono::steady_clock::now() - start);
    CFleetCounters::Process().Command(taken ? CommandResult::Taken : CommandResult::Queued);
    answer(CommandAnswer(taken ? 1 : 2));
  });
  // Not taken in time: status 2, and the text stays queued for a later heartbeat.
  HttpServer::SetDeadline(conn, Stage(api), [wait] { wait->Expire(); });
  return true;
}

bool OnApiStatus(void* context, std::string uri, std::string /*body*/, std::string sn, HttpConnection* conn,
                 ReplySender reply) {
  ApiContext* api = Api(context);
  Log(api, "Http Recv:url  = " + uri);
  auto answer = [api, sn, handle = HttpServer::Handle(conn), conn, reply](const std::string& result) {
    Log(api, "Http Recv:sn  = " + sn + ",result:" + result);
    if (!conn) return reply(nullptr, result);
    if (auto c = handle.lock()) reply(c.get(), result);
  };
  auto target = CClientRegistry::Process().FindBySn(sn);
  platform::GatePtr home = HttpServer::Home(conn);
  const std::chrono::milliseconds stage = Stage(api);
  auto remote = target ? nullptr : RemoteDevices();
  if (remote && home) {
    auto once = std::make_shared<std::atomic<bool>>(false);
    auto decide = [answer, once](const QueryAnswer& a) {
      if (!once->exchange(true)) answer(StatusAnswer(a));
    };
    remote->SendQuery(sn, "query dev_infos", true, 2 * stage + kQueryMargin, home,
                      [decide](const RemoteQueryResult& r) { decide(r.answer); });
    HttpServer::SetDeadline(conn, 2 * stage + kQueryMargin + kRemoteAnswerMargin, [decide] { decide(QueryAnswer{}); });
    return true;
  }
  if (!target || !home) {
    answer(StatusAnswer(QueryAnswer{}));
    return true;
  }
  auto wait = CQueryWait::Start(target->Mailbox(), "query dev_infos", true, home,
                                [answer](const QueryAnswer& a) { answer(StatusAnswer(a)); });
  HttpServer::SetDeadline(conn, 2 * stage + kQueryMargin, [wait] { wait->Expire(); });
  return true;
}

}  // namespace velmo
