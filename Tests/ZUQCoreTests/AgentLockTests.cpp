#include "JSON.hpp"
#include "ProcessRunner.hpp"
#include "Support.hpp"

#include <filesystem>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using TestSupport::ScopedEnvironment;

namespace {

using TestSupport::failure;

constexpr const char* alreadyRunning = "The ZUQ agent is already running on this Mac.";

std::size_t openDescriptors() {
    fs::path table = fs::exists("/proc/self/fd") ? "/proc/self/fd" : "/dev/fd";
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(table), fs::directory_iterator()));
}

// Another process holding the agent lock of the current state directory, as a second agent
// would. It gives up after a minute even if the test forgets it.
class LockHolder {
public:
    LockHolder() {
        int ready[2], hold[2];
        if (::pipe(ready) != 0 || ::pipe(hold) != 0) {
            throw std::system_error(errno, std::generic_category(), "pipe");
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            ::close(hold[1]);
            ::alarm(60);
            char state = '0';
            try {
                new AgentLock(); // held until this process ends
                state = '1';
            } catch (...) {
            }
            (void)::write(ready[1], &state, 1);
            (void)::read(hold[0], &state, 1); // returns when the test lets go
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(hold[0]);
        hold_ = hold[1];
        char state = '0';
        locked_ = ::read(ready[0], &state, 1) == 1 && state == '1';
        ::close(ready[0]);
    }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;
    ~LockHolder() { kill(); }

    bool locked() const { return locked_; }

    // Lets the holder exit normally.
    void exit() { end(false); }
    // Ends the holder with SIGKILL, as a crash would.
    void kill() { end(true); }

private:
    void end(bool killed) {
        if (pid_ <= 0) {
            return;
        }
        if (killed) {
            ::kill(pid_, SIGKILL);
        }
        ::close(hold_);
        int status;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

    pid_t pid_ = -1;
    int hold_ = -1;
    bool locked_ = false;
};

using AgentLockTest = TestSupport::TemporaryDirectoryTest;

TEST_F(AgentLockTest, ASecondAgentIsRefusedAtOnceUntilTheFirstEnds) {
    {
        LockHolder first;
        ASSERT_TRUE(first.locked());
        fs::path file = stateDirectory / "agent.lock";
        struct stat status {};
        ASSERT_EQ(::stat(file.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0600u);
        std::size_t descriptors = openDescriptors();
        // A lock call that waited would wait for the holder's minute and then succeed.
        EXPECT_EQ(failure([] { AgentLock second; }), alreadyRunning);
        EXPECT_THROW(AgentLock second, ZUQError);
        EXPECT_EQ(openDescriptors(), descriptors) << "a refused lock must not keep its file open";
        first.exit();
        EXPECT_EQ(failure([] { AgentLock second; }), "no error");
    }
    LockHolder crashed;
    ASSERT_TRUE(crashed.locked());
    EXPECT_EQ(failure([] { AgentLock second; }), alreadyRunning);
    crashed.kill();
    EXPECT_EQ(failure([] { AgentLock second; }), "no error");
}

TEST_F(AgentLockTest, OneHolderPerStateDirectory) {
    std::optional<AgentLock> held(std::in_place);
    EXPECT_EQ(failure([] { AgentLock again; }), alreadyRunning);
    {
        ScopedEnvironment other("ZUQ_STATE_DIR", (directory / "other-state").string());
        EXPECT_EQ(failure([] { AgentLock elsewhere; }), "no error");
        // Nor does this directory's lock keep another process from the other directory.
        LockHolder holder;
        EXPECT_TRUE(holder.locked());
    }
    AgentLock moved = std::move(*held);
    held.reset();
    EXPECT_EQ(failure([] { AgentLock again; }), alreadyRunning) << "the moved lock is still held";
    { AgentLock released = std::move(moved); }
    EXPECT_EQ(failure([] { AgentLock again; }), "no error");
}

TEST_F(AgentLockTest, FilesystemFailuresHaveTheirOwnMessages) {
    fs::create_directories(stateDirectory / "agent.lock");
    std::size_t descriptors = openDescriptors();
    EXPECT_EQ(failure([] { AgentLock lock; }), "Cannot open ZUQ worker lock");
    EXPECT_EQ(openDescriptors(), descriptors);

    TestSupport::writeFile(directory / "file", "");
    ScopedEnvironment blocked("ZUQ_STATE_DIR", (directory / "file" / "state").string());
    EXPECT_THROW(AgentLock lock, std::system_error);
}

} // namespace
