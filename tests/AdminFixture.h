// The management port's test fixture: the program with its device server, API
// and management port on free loopback ports, and plain HTTP requests to it.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <nlohmann/json.hpp>

#include "platform/EventLog.h"
#include "app/Options.h"
#include "app/Velmo.h"
#include "socketserver/SocketServer.h"
#include "tests/TestSupport.h"

namespace velmo::test {

namespace beast = boost::beast;
namespace http = beast::http;
using json = nlohmann::json;

struct Reply {
  unsigned status = 0;
  std::string body;
  std::string contentType;
  json Json() const { return json::parse(body, nullptr, false); }
};

// One request on its own connection; headers as "Name: value".
inline Reply Request(std::uint16_t port, http::verb method, const std::string& target,
                     std::vector<std::string> headers = {}, const std::string& body = "") {
  boost::asio::io_context io;
  beast::tcp_stream stream(io);
  stream.connect(boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port));
  stream.expires_after(std::chrono::seconds(20));
  http::request<http::string_body> req(method, target, 11);
  req.set(http::field::host, "127.0.0.1:" + std::to_string(port));
  for (const auto& h : headers) {
    auto colon = h.find(": ");
    req.set(h.substr(0, colon), h.substr(colon + 2));
  }
  req.body() = body;
  req.prepare_payload();
  http::write(stream, req);
  beast::flat_buffer buffer;
  http::response<http::string_body> res;
  http::read(stream, buffer, res);
  return Reply{res.result_int(), res.body(), std::string(res[http::field::content_type])};
}

// The value of one sample line ("name{labels} value") of a /metrics text; -1
// when absent.
inline double MetricValue(const std::string& text, const std::string& sample) {
  auto at = text.find("\n" + sample + " ");
  return at == std::string::npos ? -1.0 : std::stod(text.substr(at + sample.size() + 2));
}

class AdminTest : public ::testing::Test {
 protected:
  void Init(std::string token = "", const std::function<void(AppOptions&)>& tweak = nullptr) {
    AppOptions o;
    o.bindAddress = "127.0.0.1";
    o.devicePort = 0;
    o.httpPort = 0;
    o.adminPort = 0;
    o.adminToken = std::move(token);
    o.deviceWait = std::chrono::milliseconds(300);
    if (tweak) tweak(o);
    log_.SetListener([this](const std::vector<std::string>& batch) {
      for (const auto& line : batch) lines_.Add(line.substr(22, line.size() - 23));
    });
    velmo_ = window_.Call([&] {
      auto d = std::make_unique<CVelmo>(window_.Loop(), o, log_);
      d->Start();
      return d;
    });
    ASSERT_TRUE(WaitUntil([&] { return velmo_->AdminPort() != 0 && velmo_->HttpPort() != 0; }));
    admin_ = velmo_->AdminPort();
    devices_ = window_.Call([&] { return velmo_->Server()->ListeningPort(); });
  }
  void TearDown() override { window_.Call([&] { velmo_.reset(); }); }

  Reply Get(const std::string& target) { return Request(admin_, http::verb::get, target); }
  Reply Change(http::verb method, const std::string& target, const std::string& body = "") {
    return Request(admin_, method, target, {"X-Velmo-Request: 1"}, body);
  }
  void Register(FakeDevice& d, const std::string& sn) {
    ASSERT_TRUE(d.Connect(devices_));
    ASSERT_TRUE(d.Send(Frame("-36" + sn)));
    ASSERT_FALSE(d.ReadFrame().empty());  // its clock: registered
  }

  LoopThread window_;
  CEventLog log_;
  EventRecorder lines_;
  std::unique_ptr<CVelmo> velmo_;
  std::uint16_t admin_ = 0, devices_ = 0;
};

}  // namespace velmo::test
