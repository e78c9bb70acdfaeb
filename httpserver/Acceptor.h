// What Velmo's two HTTP servers share on the accepting side: opening a
// listener, and accepting for ever without spinning when the process is out
// of descriptors and without taking more connections than the cap.
//
// Thread safety: the server's own thread (the one that runs its io_context).
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <atomic>
#include <cstddef>
#include <functional>
#include <string>

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

}  // namespace velmo
