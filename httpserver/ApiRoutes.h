// The two API routes and their device bridges.
//
//   /api/cmd     queues the body + "\n" for the device named by SN and reports
//                whether the device took it: {"device_online_status": 0 none,
//                1 taken, 2 not taken within 5 s}
//   /api/status  asks the device for its record and answers its version, IP,
//                MAC and clock, or the offline answer
//
// The handlers never wait: an unknown SN is answered at once; otherwise the
// text is queued in the device's mailbox and the answer is sent from the HTTP
// thread when the device has decided, or when the request's deadline passes.
//
// Thread safety: handlers run on the HTTP thread, any number of requests at
// once. They reach devices only through the process-wide client registry, so
// before the device server exists (or after it is gone) every SN is unknown.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "httpserver/HttpServer.h"
#include "socketserver/DeviceExchange.h"

namespace velmo {

// What the routes need of their owner: the event log (callable from any thread).
struct ApiContext {
  std::function<void(std::string_view)> appendLog;
  std::chrono::milliseconds deviceWait = kDeviceWaitStage;  // per stage; tests shorten it
};

// Route handlers; `context` is an ApiContext.
bool OnApiCmd(void* context, std::string uri, std::string body, std::string sn, HttpConnection* conn,
              ReplySender reply);
bool OnApiStatus(void* context, std::string uri, std::string body, std::string sn, HttpConnection* conn,
                 ReplySender reply);

// The answers of the two routes.
std::string CommandAnswer(int status);  // "{ \"device_online_status\": %d }"
std::string StatusAnswer(const QueryAnswer& answer);  // the record's JSON, or the offline answer

}  // namespace velmo
