// The two API routes.
//
//   /api/cmd     queues the body + "\n" for the device named by SN and reports
//                whether the device took it: {"device_online_status": 0 none,
//                1 taken, 2 not taken within 5 s}
//   /api/status  asks the device for its record and answers its version, IP,
//                MAC and clock, or the offline answer
//
// The handlers never wait: they hand the request to the device reach (which
// finds the device here or on another node and bounds the wait) and answer
// from the HTTP thread when it has decided.
//
// Thread safety: handlers run on the HTTP thread, any number of requests at
// once.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "httpserver/HttpServer.h"
#include "socketserver/DeviceExchange.h"

namespace velmo {

class CDeviceReach;

// What the routes need of their owner.
struct ApiContext {
  std::function<void(std::string_view)> appendLog;  // the event log; any thread
  CDeviceReach* reach = nullptr;                    // null: every device is offline
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
