#include "Admission.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace ZUQRelay {

namespace asio = boost::asio;

Admission::Ticket::Ticket(Admission& admission, std::string device, std::string group)
    : admission_(&admission), device_(std::move(device)), group_(std::move(group)) {}

Admission::Ticket::Ticket(Ticket&& other) noexcept
    : admission_(other.admission_), device_(std::move(other.device_)),
      group_(std::move(other.group_)) {
    other.admission_ = nullptr;
}

Admission::Ticket::~Ticket() {
    if (admission_) {
        admission_->release(device_, group_);
    }
}

Admission::Admission(const Settings& settings) : settings_(settings) {}

bool Admission::mayTake(const std::string& device, const std::string& group) const {
    auto count = [](const auto& map, const std::string& key) {
        auto found = map.find(key);
        return found == map.end() ? std::size_t(0) : found->second;
    };
    return running_ < settings_.slots && count(perDevice_, device) < settings_.perDevice &&
           count(perGroup_, group) < settings_.perGroup;
}

void Admission::take(const std::string& device, const std::string& group) {
    ++running_;
    ++perDevice_[device];
    ++perGroup_[group];
}

void Admission::release(const std::string& device, const std::string& group) {
    std::lock_guard lock(mutex_);
    --running_;
    if (--perDevice_[device] == 0) {
        perDevice_.erase(device);
    }
    if (--perGroup_[group] == 0) {
        perGroup_.erase(group);
    }
    // The first waiters that may go now, in order of arrival.
    for (auto waiter = waiters_.begin(); waiter != waiters_.end();) {
        if (!mayTake((*waiter)->device, (*waiter)->group)) {
            ++waiter;
            continue;
        }
        take((*waiter)->device, (*waiter)->group);
        (*waiter)->granted = true;
        // The timer belongs to the waiter's executor; it is woken there.
        auto timer = (*waiter)->timer;
        asio::post(timer->get_executor(), [timer] { timer->cancel(); });
        waiter = waiters_.erase(waiter);
    }
}

asio::awaitable<std::optional<Admission::Ticket>>
Admission::admit(asio::any_io_executor executor, std::string device, std::string group) {
    auto waiter = std::make_shared<Waiter>();
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            co_return std::nullopt;
        }
        // Whoever waits cannot take a free slot (a release hands slots to waiters first).
        if (mayTake(device, group)) {
            take(device, group);
            co_return Ticket(*this, std::move(device), std::move(group));
        }
        if (waiters_.size() >= settings_.queue) {
            co_return std::nullopt;
        }
        waiter->device = device;
        waiter->group = group;
        waiter->timer = std::make_shared<asio::steady_timer>(executor, settings_.wait);
        waiters_.push_back(waiter);
    }
    co_await waiter->timer->async_wait(asio::as_tuple(asio::use_awaitable));
    std::lock_guard lock(mutex_);
    if (waiter->granted) {
        co_return Ticket(*this, std::move(device), std::move(group));
    }
    waiters_.remove(waiter);
    co_return std::nullopt;
}

void Admission::stop() {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (auto& waiter : waiters_) {
        auto timer = waiter->timer;
        asio::post(timer->get_executor(), [timer] { timer->cancel(); });
    }
}

} // namespace ZUQRelay
