// A build's bytes move on a thread of their own, so that the I/O threads are left to requests
// and, on a busy machine, a transfer gives way to heartbeats and claims rather than they to it.
#include "Connection.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <algorithm>
#include <cerrno>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace ZUQRelay::Sessions {

namespace {

// How often a moving build is checked against the minimum rate.
constexpr auto rateCheck = std::chrono::seconds(1);

// A transfer that falls behind simply moves more slowly, and its client waits.
void yieldToRequests() {
#if defined(__linux__)
    // On Linux a thread has a niceness of its own; this one is made a little nicer than the
    // relay's (-1 is a valid niceness, so only errno tells a failure).
    constexpr int nicer = 5;
    auto self = static_cast<id_t>(::gettid());
    errno = 0;
    int niceness = ::getpriority(PRIO_PROCESS, self);
    if (errno == 0) {
        ::setpriority(PRIO_PROCESS, self, std::min(niceness + nicer, 19));
    }
#elif defined(__APPLE__)
    ::pthread_set_qos_class_self_np(QOS_CLASS_UTILITY, 0);
#endif
}

} // namespace

template <class Stream>
asio::awaitable<void> Connection<Stream>::apart(Transfer& transfer, std::function<void()> work) {
    lowest().expires_never();
    tcp::socket& socket = lowest().socket();
    boost::system::error_code ignored;
    socket.non_blocking(false, ignored);
    socket.native_non_blocking(false, ignored);
    auto wake = std::make_shared<asio::steady_timer>(executor());
    std::jthread mover([&, wake] {
        yieldToRequests();
        work();
        std::lock_guard lock(transfer.mutex_);
        transfer.done_ = true;
        // Runs on the session's strand, so never between the check below and the wait.
        asio::post(wake->get_executor(), [wake] { wake->cancel(); });
    });
    for (;;) {
        {
            std::lock_guard lock(transfer.mutex_);
            if (transfer.done_) {
                break;
            }
            if (!transfer.tooSlow_ && Clock::now() >= transfer.rate_.deadline()) {
                transfer.tooSlow_ = true;
                ::shutdown(socket.native_handle(), SHUT_RDWR);
            }
        }
        wake->expires_after(rateCheck);
        co_await wake->async_wait(tuple);
    }
    mover.join();
}

template asio::awaitable<void> Connection<PlainStream>::apart(Transfer&, std::function<void()>);
template asio::awaitable<void> Connection<SecureStream>::apart(Transfer&, std::function<void()>);

} // namespace ZUQRelay::Sessions
