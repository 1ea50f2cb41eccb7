// The lane of expensive requests: senders take turns, each with a bounded queue, and nothing
// queued is dropped when the lane stops.
#include "HeavyLane.hpp"

#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>

using ZUQRelay::HeavyLane;

namespace {

// Records its name when run; the first one can hold the lane's only thread until released.
class Recorder : public HeavyLane::Task {
public:
    Recorder(std::string name, std::vector<std::string>& ran, std::mutex& mutex,
             std::shared_future<void> release = {})
        : name_(std::move(name)), ran_(ran), mutex_(mutex), release_(std::move(release)) {}

    void run() noexcept override {
        if (release_.valid()) {
            release_.wait();
        }
        std::lock_guard lock(mutex_);
        ran_.push_back(name_);
    }

private:
    std::string name_;
    std::vector<std::string>& ran_;
    std::mutex& mutex_;
    std::shared_future<void> release_;
};

class HeavyLaneTest : public testing::Test {
protected:
    // Occupies the lane's thread until `release` is set, so what is pushed next waits.
    void hold(HeavyLane& lane) {
        std::unique_ptr<HeavyLane::Task> gate =
            std::make_unique<Recorder>("gate", ran, mutex, released.get_future().share());
        ASSERT_TRUE(lane.push("gate", gate));
    }

    bool push(HeavyLane& lane, const std::string& key, const std::string& name) {
        std::unique_ptr<HeavyLane::Task> task = std::make_unique<Recorder>(name, ran, mutex);
        bool taken = lane.push(key, task);
        EXPECT_EQ(taken, task == nullptr) << "a refused task stays with its sender";
        return taken;
    }

    std::size_t ranCount() {
        std::lock_guard lock(mutex);
        return ran.size();
    }

    std::vector<std::string> ran;
    std::mutex mutex;
    std::promise<void> released;
};

TEST_F(HeavyLaneTest, SendersTakeTurnsAndEachHasABoundedQueue) {
    {
        HeavyLane lane({.threads = 1, .waitingPerKey = 3});
        hold(lane);
        for (const char* name : {"a1", "a2", "a3"}) {
            EXPECT_TRUE(push(lane, "group a", name));
        }
        EXPECT_FALSE(push(lane, "group a", "a4")) << "group a has its share waiting";
        EXPECT_TRUE(push(lane, "group b", "b1")) << "another group is not held back by a";
        EXPECT_TRUE(push(lane, "address 10.0.0.1", "c1"));
        released.set_value();
    } // stopping runs everything still queued
    EXPECT_EQ(ran, (std::vector<std::string>{"gate", "a1", "b1", "c1", "a2", "a3"}));
}

TEST_F(HeavyLaneTest, AQueueThatEmptiedTakesTasksAgain) {
    {
        HeavyLane lane({.threads = 1, .waitingPerKey = 1});
        hold(lane);
        EXPECT_TRUE(push(lane, "group a", "a1"));
        EXPECT_FALSE(push(lane, "group a", "a2"));
        released.set_value();
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (ranCount() < 2 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_TRUE(push(lane, "group a", "a3"));
    }
    EXPECT_EQ(ran, (std::vector<std::string>{"gate", "a1", "a3"}));
}

} // namespace
