#include "Server.hpp"

#include "AccessLog.hpp"
#include "Session.hpp"

#include <algorithm>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace ZUQRelay {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

// How long accepting pauses when the process has run out of descriptors and no idle
// connection can make room.
constexpr auto acceptPause = std::chrono::milliseconds(100);

} // namespace

Session::Session(Server& server, std::string address)
    : server_(server), address_(std::move(address)), share_(Server::shareOf(address_)) {
    server_.enter(*this);
}

Session::~Session() {
    server_.forget(*this);
}

Server::Server(const Settings& settings, const Routes& routes, const Artifacts& artifacts,
               asio::ssl::context* tls)
    : settings_(settings), routes_(routes), artifacts_(artifacts), tls_(tls),
      io_(static_cast<int>(settings.ioThreads)), workers_(settings.workers),
      heavy_({settings.heavyThreads, settings.heavyWaitingPerGroup}), acceptor_(io_),
      admission_(settings.transfers) {}

Server::~Server() {
    workers_.join();
}

int Server::listenOn(const std::string& host, int port) {
    auto fail = [&](const boost::system::error_code& error) {
        throw std::system_error(error.value(), std::generic_category(),
                                "Cannot listen on " + host + ":" + std::to_string(port));
    };
    tcp::resolver resolver(io_);
    boost::system::error_code error;
    auto found = resolver.resolve(host, std::to_string(port),
                                  tcp::resolver::passive | tcp::resolver::numeric_service, error);
    if (error || found.empty()) {
        throw std::runtime_error("Cannot resolve " + host + ": " + error.message());
    }
    tcp::endpoint endpoint = found.begin()->endpoint();
    acceptor_.open(endpoint.protocol(), error);
    if (!error) {
        acceptor_.set_option(tcp::acceptor::reuse_address(true), error);
    }
    if (!error) {
        acceptor_.bind(endpoint, error);
    }
    if (!error) {
        acceptor_.listen(asio::socket_base::max_listen_connections, error);
    }
    if (error) {
        fail(error);
    }
    return acceptor_.local_endpoint().port();
}

void Server::run() {
    asio::co_spawn(io_, accept(), asio::detached);
    std::vector<std::thread> threads;
    for (std::size_t index = 1; index < settings_.ioThreads; ++index) {
        threads.emplace_back([this] { io_.run(); });
    }
    io_.run();
    for (auto& thread : threads) {
        thread.join();
    }
    workers_.join();
}

void Server::stop() {
    asio::post(io_, [this] {
        std::vector<std::shared_ptr<Session>> idle;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) {
                return;
            }
            stopping_ = true;
            // Connections between requests, and those still on a handshake or a head: no
            // request of theirs has begun.
            for (auto* list : {&waiting_, &unfinished_}) {
                for (auto at = list->begin(); at != list->end();) {
                    auto session = (at++)->lock();
                    if (session) {
                        unlist(*session);
                        idle.push_back(std::move(session));
                    }
                }
            }
        }
        boost::system::error_code ignored;
        acceptor_.close(ignored);
        admission_.stop();
        for (auto& session : idle) {
            close(std::move(session));
        }
    });
}

asio::awaitable<void> Server::accept() {
    asio::steady_timer pause(io_);
    while (!stopping_) {
        auto [error, socket] = co_await acceptor_.async_accept(asio::make_strand(io_),
                                                               asio::as_tuple(asio::use_awaitable));
        if (stopping_ || error == asio::error::operation_aborted) {
            break;
        }
        if (error) {
            if (error == asio::error::no_descriptors) {
                std::shared_ptr<Session> evicted;
                {
                    std::lock_guard lock(mutex_);
                    evicted = evictable();
                }
                if (evicted) {
                    close(std::move(evicted));
                    continue;
                }
            }
            // Out of descriptors with none idle to give up, or another passing failure: try
            // again a little later.
            pause.expires_after(acceptPause);
            co_await pause.async_wait(asio::as_tuple(asio::use_awaitable));
            continue;
        }
        admit(std::move(socket));
    }
}

std::string Server::shareOf(const std::string& text) {
    boost::system::error_code error;
    asio::ip::address address = asio::ip::make_address(text, error);
    if (error || address.is_v4()) {
        return text;
    }
    asio::ip::address_v6 v6 = address.to_v6();
    if (v6.is_v4_mapped()) {
        return asio::ip::make_address_v4(asio::ip::v4_mapped, v6).to_string();
    }
    asio::ip::address_v6::bytes_type bytes = v6.to_bytes();
    std::fill(bytes.begin() + 8, bytes.end(), 0);
    return asio::ip::address_v6(bytes).to_string() + "/64";
}

std::shared_ptr<Session> Server::evictable() {
    // A client between requests loses only its kept-alive connection; one that is slow to
    // finish its handshake or head is the likelier to be holding a place on purpose. A session
    // whose last reference is going stays listed: its own `forget` takes it off.
    for (auto* list : {&waiting_, &unfinished_}) {
        for (auto& listed : *list) {
            if (auto session = listed.lock()) {
                unlist(*session);
                return session;
            }
        }
    }
    return nullptr;
}

void Server::close(std::shared_ptr<Session> session) {
    // Posted with the only reference this thread holds: the session may end on its own
    // executor first, and its last reference must never go while mutex_ is held here.
    auto executor = session->executor();
    asio::post(executor, [session = std::move(session)] { session->closeIfEvictable(); });
}

void Server::admit(tcp::socket socket) {
    boost::system::error_code error;
    tcp::endpoint peer = socket.remote_endpoint(error);
    if (error) {
        return;
    }
    socket.set_option(tcp::no_delay(true), error);
    admit(std::move(socket), peer.address().to_string());
}

void Server::admit(tcp::socket socket, std::string address) {
    std::shared_ptr<Session> evicted;
    {
        std::lock_guard lock(mutex_);
        auto from = perAddress_.find(shareOf(address));
        if (from != perAddress_.end() && from->second >= settings_.maxConnectionsPerAddress) {
            return; // refused by closing it
        }
        if (open_ >= settings_.maxConnections && !(evicted = evictable())) {
            return; // every connection is busy: this one is refused by closing it
        }
    }
    if (evicted) {
        close(std::move(evicted));
    }
    // Only this loop adds connections, so the counts checked above can only have fallen.
    try {
        makeSession(*this, std::move(socket), std::move(address), tls_)->start();
    } catch (const std::exception& failure) {
        AccessLog::notice(std::string("Cannot serve a connection: ") + failure.what());
    }
}

void Server::serve(int descriptor, std::string address) {
    tcp::socket socket(asio::make_strand(io_));
    boost::system::error_code error;
    socket.assign(tcp::v6(), descriptor, error);
    if (error) {
        ::close(descriptor);
        throw std::system_error(error.value(), std::generic_category(), "Cannot serve a socket");
    }
    asio::post(io_, [this, socket = std::move(socket), address = std::move(address)]() mutable {
        admit(std::move(socket), std::move(address));
    });
}

void Server::enter(Session& session) {
    std::lock_guard lock(mutex_);
    ++open_;
    ++perAddress_[session.share_];
}

bool Server::mark(Session& session, Phase phase) {
    std::lock_guard lock(mutex_);
    unlist(session);
    if (phase != Phase::busy && stopping_) {
        return false;
    }
    if (phase != Phase::busy) {
        auto& list = phase == Phase::waiting ? waiting_ : unfinished_;
        list.push_back(session.weak_from_this());
        session.listedIn_ = &list;
        session.position_ = std::prev(list.end());
    }
    return true;
}

void Server::unlist(Session& session) {
    if (session.listedIn_ != nullptr) {
        session.listedIn_->erase(session.position_);
        session.listedIn_ = nullptr;
    }
}

namespace {

// Takes `bytes` more of a budget of `limit` (negative to give back); false when over it.
bool take(std::atomic<std::ptrdiff_t>& held, std::ptrdiff_t bytes, std::size_t limit) {
    std::ptrdiff_t now = held += bytes;
    return bytes <= 0 || now <= static_cast<std::ptrdiff_t>(limit);
}

} // namespace

bool Server::holdHead(std::ptrdiff_t bytes) {
    return take(heads_, bytes, settings_.headBudget);
}

bool Server::holdBody(std::ptrdiff_t bytes) {
    return take(bodies_, bytes, settings_.bodyBudget);
}

bool Server::holdAnswer(std::ptrdiff_t bytes, const std::string& holder) {
    std::lock_guard lock(answersMutex_);
    auto budget = static_cast<std::ptrdiff_t>(settings_.answerBudget);
    auto mine = answersOf_.try_emplace(holder, 0).first;
    bool allowed = bytes <= 0 || answers_ == 0 ||
                   (answers_ + bytes <= budget &&
                    (mine->second == 0 ||
                     mine->second + bytes <= budget / std::ptrdiff_t(answerSharesOfBudget)));
    // Counted even when refused, like the other budgets: the caller gives them back.
    answers_ += bytes;
    mine->second += bytes;
    if (mine->second == 0) {
        answersOf_.erase(mine);
    }
    return allowed;
}

void Server::forget(Session& session) {
    std::lock_guard lock(mutex_);
    unlist(session);
    --open_;
    if (--perAddress_[session.share_] == 0) {
        perAddress_.erase(session.share_);
    }
}

} // namespace ZUQRelay
