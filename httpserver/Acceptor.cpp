#include "httpserver/Acceptor.h"

#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/http/error.hpp>
#include <cerrno>

namespace velmo {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

std::string OpenAcceptor(tcp::acceptor& acceptor, const tcp::endpoint& endpoint) {
  boost::system::error_code ec;
  acceptor.open(endpoint.protocol(), ec);
  if (ec) return "socket: " + ec.message();
  acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  acceptor.bind(endpoint, ec);
  if (ec) return "bind: " + ec.message();
  acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) return "listen: " + ec.message();
  return "";
}

void AcceptForEver(const AcceptLoop& loop) {
  loop.acceptor->async_accept([loop](boost::system::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted || loop.stopped()) return;
    if (ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space || ec == asio::error::no_memory ||
        ec.value() == ENFILE) {
      // The waiting client stays in the backlog; try again shortly instead of spinning.
      loop.backoff->expires_after(std::chrono::milliseconds(100));
      loop.backoff->async_wait([loop](const boost::system::error_code& e) {
        if (!e && !loop.stopped()) AcceptForEver(loop);
      });
      return;
    }
    if (!ec) {
      if (loop.connections->load() >= loop.maxConnections) {
        socket.close(ec);  // over the cap: refused at once
      } else {
        ++*loop.connections;
        socket.set_option(tcp::no_delay(true), ec);
        loop.serve(std::move(socket));
      }
    }
    AcceptForEver(loop);  // a peer that gave up before we took it does not end the service
  });
}

void ResetParser(std::optional<RequestParser>& parser, const HttpLimits& limits) {
  parser.emplace();
  parser->header_limit(static_cast<std::uint32_t>(limits.maxHeadBytes));
  parser->body_limit(limits.maxBodyBytes);
}

bool ClientGone(const boost::system::error_code& ec) {
  namespace http = boost::beast::http;
  return ec == http::error::end_of_stream || ec == boost::beast::error::timeout ||
         ec == asio::error::operation_aborted || ec == asio::error::connection_reset || ec == asio::error::eof;
}

}  // namespace velmo
