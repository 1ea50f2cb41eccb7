// A build told to hang hangs for real, with compiler helpers in its process group, until it
// is killed.
#include "SimulatorTest.hpp"

#include <csignal>
#include <fcntl.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class HungBuildTest : public SimulatorTest {
protected:
    pid_t startArchive(const fs::path& log) {
        return start({(TestSupport::binaryDirectory() / "apple-tools" / "xcrun").string(),
                      "xcodebuild", "archive", "-workspace",
                      (sample() / "SampleApp.xcworkspace").string(), "-scheme", "SampleApp",
                      "-archivePath", (directory / "App.xcarchive").string(),
                      "-allowProvisioningUpdates"},
                     log);
    }

    // A file of /proc/<pid>, or what could be read of it before the process went: a read of
    // a process that has just ended fails, which a stream would throw on.
    static std::string procFile(pid_t pid, const char* name) {
        std::string path = "/proc/" + std::to_string(pid) + "/" + name;
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        std::string text;
        if (fd < 0) {
            return text;
        }
        char buffer[4096];
        for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
            text.append(buffer, static_cast<std::size_t>(got));
        }
        ::close(fd);
        return text;
    }

    static std::string stat(pid_t pid) { return procFile(pid, "stat"); }

    static std::vector<pid_t> children(pid_t parent) {
        std::vector<pid_t> found;
        for (const fs::directory_entry& entry : fs::directory_iterator("/proc")) {
            std::string name = entry.path().filename().string();
            if (name.find_first_not_of("0123456789") != std::string::npos) {
                continue;
            }
            std::string text = stat(std::stoi(name));
            std::size_t close = text.rfind(')');
            if (close == std::string::npos) {
                continue;
            }
            int ppid = 0;
            char state = 0;
            std::sscanf(text.c_str() + close + 2, "%c %d", &state, &ppid);
            if (ppid == parent && state != 'Z') {
                found.push_back(std::stoi(name));
            }
        }
        return found;
    }

    static bool ignoresTerm(pid_t pid) {
        std::istringstream file(procFile(pid, "status"));
        for (std::string line; std::getline(file, line);) {
            if (line.rfind("SigIgn:", 0) == 0) {
                return (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1)) & 1;
            }
        }
        return false;
    }

    static int reap(pid_t pid) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return WIFSIGNALED(status) ? WTERMSIG(status) : -1;
    }
};

TEST_F(HungBuildTest, HangsWithHelpersUntilItsGroupIsKilled) {
    control({"setup"});
    control({"next-build", "hang"});
    fs::path log = directory / "hang.log";
    pid_t build = startArchive(log);
    std::vector<pid_t> helpers;
    ASSERT_TRUE(eventually([&] { return (helpers = children(build)).size() == 2; }));
    EXPECT_NE(TestSupport::readFile(log).find("CreateBuildDescription"), std::string::npos);
    EXPECT_EQ(::getpgid(helpers[0]), build);
    EXPECT_FALSE(fs::exists(directory / "App.xcarchive"));

    // Signalling the tool alone ends it but leaves its compilers running.
    ::kill(build, SIGTERM);
    EXPECT_EQ(reap(build), SIGTERM);
    for (pid_t helper : helpers) {
        EXPECT_FALSE(gone(helper)) << "a helper ended with its build";
    }
    // Signalling the group ends them too.
    ::kill(-build, SIGTERM);
    for (pid_t helper : helpers) {
        EXPECT_TRUE(eventually([&] { return gone(helper); }));
    }
}

TEST_F(HungBuildTest, IgnoringTermItEndsOnlyWithKill) {
    control({"setup"});
    control({"next-build", "hang-ignoring-term"});
    pid_t build = startArchive(directory / "hang.log");
    std::vector<pid_t> helpers;
    ASSERT_TRUE(eventually([&] { return (helpers = children(build)).size() == 2; }));
    ASSERT_TRUE(eventually([&] { return ignoresTerm(helpers[0]) && ignoresTerm(helpers[1]); }));
    EXPECT_TRUE(ignoresTerm(build));
    ::kill(-build, SIGTERM);
    ::kill(-build, SIGKILL);
    EXPECT_EQ(reap(build), SIGKILL);
    for (pid_t helper : helpers) {
        EXPECT_TRUE(eventually([&] { return gone(helper); }));
    }
    // The next build is an ordinary one again.
    TestSupport::Output next = archive(directory / "next");
    EXPECT_EQ(next.status, 0) << next.err;
}

} // namespace
