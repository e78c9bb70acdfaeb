// What Velmo's two HTTP servers share: opening a listener, accepting for
// ever without spinning when the process is out of descriptors and without
// taking more connections than the cap, and reading requests within the
// limits.
//
// Thread safety: the server's own thread (the one that runs its io_context).
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <atomic>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "httpserver/HttpServer.h"

namespace velmo {

// Opens `acceptor` on `endpoint` (address reuse, the system's backlog).
// Returns "" or what failed: "socket: ...", "bind: ...", "listen: ...".
std::string OpenAcceptor(boost::asio::ip::tcp::acceptor& acceptor, const boost::asio::ip::tcp::endpoint& endpoint);

struct AcceptLoop {
  boost::asio::ip::tcp::acceptor* acceptor = nullptr;
  boost::asio::steady_timer* backoff = nullptr;  // out of descriptors: try again after 100 ms
  std::atomic<std::size_t>* connections = nullptr;  // open connections; the new one is counted here
  std::size_t maxConnections = 0;               // over it a new connection is closed at once
  std::function<bool()> stopped;                // true: accept no more
  std::function<void(boost::asio::ip::tcp::socket)> serve;  // a new connection, counted, TCP_NODELAY set
};

// Accepts until the acceptor is closed or `loop.stopped()`.
void AcceptForEver(const AcceptLoop& loop);

using RequestParser = boost::beast::http::request_parser<boost::beast::http::string_body>;
// A fresh parser for the next request, with the head and body limits.
void ResetParser(std::optional<RequestParser>& parser, const HttpLimits& limits);
// True when a read ended because the client went, stayed silent past the
// time-out or the server stopped: the connection just closes, unanswered.
bool ClientGone(const boost::system::error_code& ec);

}  // namespace velmo
