#include "Session.hpp"

#include "Connection.hpp"

namespace ZUQRelay {

std::shared_ptr<Session> makeSession(Server& server, boost::asio::ip::tcp::socket socket,
                                     std::string address, boost::asio::ssl::context* tls) {
    using namespace Sessions;
    if (tls) {
        return std::make_shared<Connection<SecureStream>>(server, std::move(address),
                                                          std::move(socket), *tls);
    }
    return std::make_shared<Connection<PlainStream>>(server, std::move(address), std::move(socket));
}

} // namespace ZUQRelay
