// One client connection of the relay, served by a coroutine.
#pragma once

#include "Server.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <memory>
#include <string>

namespace ZUQRelay {

/// A session for a freshly accepted connection from `address`, speaking TLS with `tls` when
/// given. It reads requests one after the other: each head within its deadline and the
/// server's head budget, then the request is decided on a worker before any body is read; a
/// JSON body is read whole, a build streams. An answer sent before a body was read to its end
/// closes the connection after it. Call `start` to begin.
std::shared_ptr<Session> makeSession(Server& server, boost::asio::ip::tcp::socket socket,
                                     std::string address, boost::asio::ssl::context* tls);

} // namespace ZUQRelay
