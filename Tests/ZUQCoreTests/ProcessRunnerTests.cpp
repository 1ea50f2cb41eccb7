#include "JSON.hpp"
#include "PipelineTest.hpp"
#include "Platform/Process.hpp"
#include "Platform/ToolPaths.hpp"
#include "ProcessRunner.hpp"
#include "Support.hpp"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <signal.h>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

extern char** environ;

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ProcessRunner::Failure;
using TestSupport::ScopedEnvironment;

namespace {

using TestSupport::failure;

mode_t modeOf(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

// Waits for a file a tool creates once it runs; fails the test after a minute.
void waitForFile(const fs::path& path) {
    for (int i = 0; i < 6000 && !fs::exists(path); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(fs::exists(path)) << path;
}

// Waits up to ten seconds for every process listed in `file`, one pid a line, to end.
void expectEnded(const fs::path& file) {
    std::vector<pid_t> pids;
    std::istringstream lines(TestSupport::readFile(file));
    for (pid_t pid; lines >> pid;) {
        pids.push_back(pid);
    }
    ASSERT_FALSE(pids.empty()) << file;
    for (pid_t pid : pids) {
        for (int i = 0; i < 1000 && !processEnded(pid); ++i) {
            std::this_thread::sleep_for(10ms);
        }
        EXPECT_TRUE(processEnded(pid)) << "process " << pid << " outlived its tool";
        if (!processEnded(pid)) {
            ::kill(pid, SIGKILL);
        }
    }
}

class ProcessRunnerTest : public TestSupport::TemporaryDirectoryTest {
protected:
    void SetUp() override {
        TemporaryDirectoryTest::SetUp();
        tools = directory / "tools";
        fs::create_directories(tools);
    }

    void TearDown() override {
        // Capture files live in TMPDIR, which this fixture points at its own directory.
        for (const auto& entry : fs::directory_iterator(temporary)) {
            ADD_FAILURE() << "left behind: " << entry.path();
        }
        TemporaryDirectoryTest::TearDown();
    }

    // Writes an executable shell script and returns its path.
    std::string tool(const std::string& name, const std::string& body) {
        fs::path path = tools / name;
        TestSupport::writeFile(path, "#!/bin/sh\n" + body + "\n");
        ::chmod(path.c_str(), 0755);
        return path.string();
    }

    static ProcessResult run(const std::string& executable,
                             const std::vector<std::string>& arguments, Failure failure,
                             const std::optional<fs::path>& log = std::nullopt, double timeout = 60,
                             const std::optional<std::string>& job = std::nullopt,
                             std::stop_token stop = {}) {
        return ProcessRunner::run(executable, arguments, std::nullopt, log, timeout, job, failure,
                                  stop);
    }

    // A tool that starts two helpers, as a build tool starts compilers: one that ignores
    // SIGTERM and SIGINT and one that does not; lists itself and them in "pids", then
    // creates "ready" and waits. With `stubborn` the tool itself ignores SIGTERM and SIGINT.
    std::string toolWithHelpers(const std::string& name, bool stubborn) {
        fs::path pids = directory / "pids";
        std::string script = stubborn ? "trap '' TERM INT\n" : "";
        script += "echo $$ >> '" + pids.string() + "'\n" +
                  "sh -c 'trap \"\" TERM INT; while :; do sleep 0.2; done' &\n" +
                  "echo $! >> '" + pids.string() + "'\n" +
                  "sleep 300 &\n" +
                  "echo $! >> '" + pids.string() + "'\n" +
                  "touch '" + (directory / "ready").string() + "'\n" +
                  "while :; do sleep 0.1; done";
        return tool(name, script);
    }

    fs::path tools;
};

TEST_F(ProcessRunnerTest, ResultsAndFailuresFollowTheStatusAndTheStreams) {
    struct Case {
        const char* script;
        Failure failure;
        std::string output, error;
        std::int32_t status;
        std::string message; // empty when the run returns
    };
    const Case cases[] = {
        {"exit 0", Failure::raised, "", "", 0, ""},
        {"printf 'out\\n'; exit 2", Failure::raised, "", "", 0, "tool failed (2): out\n"},
        {"printf out; printf err >&2; exit 3", Failure::raised, "", "", 0, "tool failed (3): err"},
        {"printf out; printf err >&2; exit 4", Failure::allowed, "out", "err", 4, ""},
        {"printf 'a\\377b'; printf 'c\\342\\202' >&2", Failure::raised,
         "a\xEF\xBF\xBD"
         "b",
         "c\xEF\xBF\xBD", 0, ""},
        {"printf partial; kill -TERM $$", Failure::raised, "", "", 0, "tool failed (15): partial"},
        {"kill -KILL $$", Failure::allowed, "", "", 9, ""},
        {"exit 255", Failure::raised, "", "", 0, "tool failed (255): "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        std::string executable = tool("tool", c.script);
        if (!c.message.empty()) {
            EXPECT_EQ(failure([&] { run(executable, {}, c.failure); }), c.message);
            continue;
        }
        ProcessResult result = run(executable, {}, c.failure);
        EXPECT_EQ(result.output, c.output);
        EXPECT_EQ(result.error, c.error);
        EXPECT_EQ(result.status, c.status);
    }
}

TEST_F(ProcessRunnerTest, TranscriptsAppendAfterTheToolEnds) {
    fs::path log = directory / "logs" / "job.log";
    fs::create_directories(log.parent_path());
    // Standard error is written first, yet the transcript keeps the streams apart, output first.
    std::string executable = tool("archive", "printf 'bad\\n' >&2; printf 'line1\\n'; exit 5");
    EXPECT_EQ(failure([&] {
                  run(executable, {"-a", "two words", ""}, Failure::raised, log);
              }),
              "archive failed (5): bad\n\nFull log: " + log.string());
    EXPECT_EQ(modeOf(log), 0600u);
    std::string first = "\n$ archive -a two words \nline1\nbad\n";
    EXPECT_EQ(TestSupport::readFile(log), first);

    std::string quiet = tool("quiet", "exit 0");
    ProcessResult result = run(quiet, {}, Failure::raised, log);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(TestSupport::readFile(log), first + "\n$ quiet \n");

    // A log that cannot be written fails the run after the tool has finished.
    fs::path marker = directory / "ran";
    std::string touching = tool("touching", "touch '" + marker.string() + "'");
    EXPECT_THROW(run(touching, {}, Failure::raised, directory / "missing" / "job.log"),
                 std::system_error);
    EXPECT_TRUE(fs::exists(marker));
}

TEST_F(ProcessRunnerTest, FailureMessageQuotesTheLast1600Characters) {
    const std::string eAcute = "e\xCC\x81"; // two code points, three bytes, one character
    std::string many;
    for (int i = 0; i < 2000; ++i) {
        many += eAcute;
    }
    std::string tail;
    for (int i = 0; i < 1600; ++i) {
        tail += eAcute;
    }
    TestSupport::writeFile(directory / "text", "start" + many);
    std::string toError = tool("to-error", "printf 'ignored output'; cat \"$1\" >&2; exit 1");
    EXPECT_EQ(failure([&] { run(toError, {(directory / "text").string()}, Failure::raised); }),
              "to-error failed (1): " + tail);
    std::string toOutput = tool("to-output", "cat \"$1\"; exit 1");
    EXPECT_EQ(failure([&] { run(toOutput, {(directory / "text").string()}, Failure::raised); }),
              "to-output failed (1): " + tail);
}

TEST_F(ProcessRunnerTest, ResultsKeepTheLast8MiBAndTheLogKeepsEverything) {
    // A three-byte character whose first two bytes fall just before the last 8 MiB, then a
    // pattern whose period does not divide the 1 MiB pieces of the log copy.
    std::string pattern(ProcessRunner::resultLimit - 1, '\0');
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        pattern[i] = static_cast<char>('a' + i % 26);
    }
    std::string data = "\xE2\x82\xAC" + pattern;
    fs::path input = directory / "data";
    TestSupport::writeFile(input, data);
    fs::path log = directory / "big.log";
    std::string executable = tool("big", "cat \"$1\"; cat \"$1\" >&2");
    ProcessResult result = run(executable, {input.string()}, Failure::raised, log);
    EXPECT_EQ(result.status, 0);
    std::string expected = "\xEF\xBF\xBD" + pattern;
    EXPECT_TRUE(result.output == expected) << "output of " << result.output.size() << " bytes";
    EXPECT_TRUE(result.error == expected) << "error of " << result.error.size() << " bytes";
    std::string transcript = TestSupport::readFile(log);
    EXPECT_TRUE(transcript == "\n$ big " + input.string() + "\n" + data + data)
        << "transcript of " << transcript.size() << " bytes";
}

TEST_F(ProcessRunnerTest, TimeOutTerminatesThenKills) {
    std::string polite = tool("polite", "exec sleep 60");
    ProcessResult result = run(polite, {}, Failure::allowed, std::nullopt, 0.2);
    EXPECT_EQ(result.status, 15);

    // The trap is set long before the deadline on any machine this runs on.
    std::string stubborn = tool("stubborn", "trap '' TERM; printf 'still here'\n"
                                            "while :; do sleep 0.1; done");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(failure([&] { run(stubborn, {}, Failure::raised, std::nullopt, 2); }),
              "stubborn failed (9): still here");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 7s)
        << "SIGKILL comes 5 seconds after the SIGTERM of the time-out";
}

TEST_F(ProcessRunnerTest, CancelTerminatesOnlyTheToolOfItsJob) {
    fs::path ready = directory / "ready", go = directory / "go";
    std::string waiting = tool("waiting", "touch '" + ready.string() +
                                              "'\n"
                                              "while [ ! -e '" +
                                              go.string() + "' ]; do sleep 0.02; done");
    auto other = std::async(std::launch::async, [&] {
        return run(waiting, {}, Failure::allowed, std::nullopt, 60, "job-A");
    });
    waitForFile(ready);
    ProcessRunner::cancel("job-B");
    ProcessRunner::cancel("");
    TestSupport::writeFile(go, "");
    EXPECT_EQ(other.get().status, 0) << "a cancel for another job reached this one";

    std::string sleeper = tool("sleeper", "exec sleep 60");
    auto cancelled = std::async(std::launch::async, [&] {
        return run(sleeper, {}, Failure::raised, std::nullopt, 120, "job-A");
    });
    // The tool is registered only once it has started; cancelling until it ends covers that.
    while (cancelled.wait_for(20ms) != std::future_status::ready) {
        ProcessRunner::cancel("job-A");
    }
    EXPECT_EQ(failure([&] { cancelled.get(); }), "sleeper failed (15): ");
    ProcessRunner::cancel("job-A"); // finished: nothing is registered any more
}

TEST_F(ProcessRunnerTest, StopTokenRefusesToStartAndTerminatesARunningTool) {
    fs::path ready = directory / "ready";
    std::string sleeper = tool("sleeper", "touch '" + ready.string() + "'; exec sleep 60");
    std::stop_source stopped;
    stopped.request_stop();
    EXPECT_THROW(
        run(sleeper, {}, Failure::allowed, directory / "log", 60, "job", stopped.get_token()),
        CancellationError);
    EXPECT_FALSE(fs::exists(ready)) << "a cancelled run must not start its tool";
    EXPECT_FALSE(fs::exists(directory / "log"));

    std::stop_source source;
    auto running = std::async(std::launch::async, [&] {
        return run(sleeper, {}, Failure::allowed, std::nullopt, 120, std::nullopt,
                   source.get_token());
    });
    waitForFile(ready);
    source.request_stop();
    EXPECT_EQ(running.get().status, 15);
}

TEST_F(ProcessRunnerTest, StoppedToolsTakeWhatTheyStartedWithThem) {
    enum class Stop { cancel, token, timeOut };
    struct Case {
        const char* name;
        Stop stop;
        bool stubborn;
        std::int32_t status;
    };
    const Case cases[] = {
        {"cancelled", Stop::cancel, false, 15},
        {"cancelled, ignoring SIGTERM", Stop::cancel, true, 9},
        {"stopped", Stop::token, false, 15},
        {"timed out, ignoring SIGTERM", Stop::timeOut, true, 9},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(directory / "pids");
        fs::remove(directory / "ready");
        std::string executable = toolWithHelpers("build", c.stubborn);
        std::stop_source source;
        // Long enough never to come into play except where it is the point.
        double timeout = c.stop == Stop::timeOut ? 1 : 3600;
        auto start = std::chrono::steady_clock::now();
        auto running = std::async(std::launch::async, [&] {
            return run(executable, {}, Failure::allowed, std::nullopt, timeout, "job",
                       source.get_token());
        });
        waitForFile(directory / "ready");
        if (c.stop == Stop::cancel) {
            ProcessRunner::cancel("job");
        } else if (c.stop == Stop::token) {
            source.request_stop();
        }
        EXPECT_EQ(running.get().status, c.status);
        if (c.stubborn) {
            EXPECT_GE(std::chrono::steady_clock::now() - start, 5s)
                << "SIGKILL comes 5 seconds after the first SIGTERM";
        }
        expectEnded(directory / "pids");
    }
}

TEST_F(ProcessRunnerTest, ForwardedSignalsStopToolsBeforeTheProgramEnds) {
    struct Case {
        int signal;
        bool stubborn;
    };
    const Case cases[] = {{SIGINT, false}, {SIGTERM, false}, {SIGTERM, true}};
    fs::path host = TestSupport::binaryDirectory() / "zuq-test-tool-host";
    fs::path never = directory / "second-ran";
    std::string second = tool("second", "touch '" + never.string() + "'");
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(strsignal(c.signal)) + (c.stubborn ? ", ignored" : ""));
        fs::remove(directory / "pids");
        fs::remove(directory / "ready");
        std::string first = toolWithHelpers("first", c.stubborn);
        fs::path out = directory / "host.out", err = directory / "host.err";
        Platform::FileDescriptor output =
            Platform::openFile(out, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        Platform::FileDescriptor errors =
            Platform::openFile(err, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        Platform::SpawnRequest request{host, {first, second}, {}, std::nullopt};
        for (char** entry = environ; *entry; ++entry) {
            request.environment.emplace_back(*entry);
        }
        request.output = output.get();
        request.error = errors.get();
        Platform::ChildProcess program = Platform::ChildProcess::spawn(request);
        waitForFile(directory / "ready");
        ASSERT_TRUE(program.signal(c.signal));
        EXPECT_EQ(program.reap(), c.signal) << "the program must end by the signal it got";
        EXPECT_EQ(TestSupport::readFile(out), "");
        expectEnded(directory / "pids");
        EXPECT_FALSE(fs::exists(never)) << "a tool started after the signal";
    }
}

TEST_F(ProcessRunnerTest, ASuccessorEndsTheToolsOfAKilledProgramAndNothingElse) {
    fs::path records = directory / "Tools";
    fs::path host = TestSupport::binaryDirectory() / "zuq-test-tool-host";
    std::string first = toolWithHelpers("first", false);
    auto environment = [] {
        std::vector<std::string> entries;
        for (char** entry = environ; *entry; ++entry) {
            entries.emplace_back(*entry);
        }
        return entries;
    };
    Platform::SpawnRequest request{host, {first}, environment(), std::nullopt};
    request.environment.push_back("ZUQ_TEST_TOOL_RECORDS=" + records.string());
    Platform::ChildProcess program = Platform::ChildProcess::spawn(request);
    waitForFile(directory / "ready");
    // The record follows the start by a moment, in which a tool may already have run far.
    for (int i = 0; i < 6000 && (!fs::exists(records) || fs::is_empty(records)); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(program.signal(SIGKILL));
    EXPECT_EQ(program.reap(), SIGKILL);
    std::istringstream pids(TestSupport::readFile(directory / "pids"));
    pid_t leader = 0;
    pids >> leader;
    ASSERT_FALSE(processEnded(leader)) << "a killed program's tool lives on";

    // Records a successor must not act on: a group leader that started at another time (a
    // reused id), a process that leads no group, and a file this program never wrote.
    Platform::SpawnRequest sleeper{"/bin/sleep", {"60"}, environment(), std::nullopt};
    sleeper.ownProcessGroup = true;
    Platform::ChildProcess reused = Platform::ChildProcess::spawn(sleeper);
    sleeper.ownProcessGroup = false;
    Platform::ChildProcess member = Platform::ChildProcess::spawn(sleeper);
    auto record = [&](pid_t pid, const std::string& started) {
        TestSupport::writeFile(records / (std::to_string(pid) + ".json"),
                               JSON::object({{"pid", JSON(pid)}, {"tool", "sleep"},
                                             {"started", started}}).data());
    };
    record(reused.pid(), "0:12345");
    record(member.pid(), Platform::processStartTime(member.pid()).value());
    TestSupport::writeFile(records / "garbage.json", "{");

    {
        ProcessRunner::ToolRecords successor(records);
        EXPECT_EQ(successor.ended(),
                  (std::vector<std::string>{"first (process group " + std::to_string(leader) + ")"}));
        expectEnded(directory / "pids");
        EXPECT_TRUE(fs::is_empty(records)) << "every earlier record is dropped";

        // The successor records its own tools while they run, and only then.
        fs::path seen = directory / "seen";
        std::string lister = tool("lister", "ls '" + records.string() + "' > '" + seen.string() + "'");
        EXPECT_EQ(run(lister, {}, Failure::raised).status, 0);
        EXPECT_NE(TestSupport::readFile(seen).find(".json"), std::string::npos);
        EXPECT_TRUE(fs::is_empty(records));
    }
    EXPECT_FALSE(processEnded(reused.pid())) << "a reused process id was signalled";
    EXPECT_FALSE(processEnded(member.pid())) << "a process leading no group was signalled";
    fs::path seen = directory / "seen-after";
    std::string after = tool("after", "ls '" + records.string() + "' > '" + seen.string() + "'");
    run(after, {}, Failure::raised);
    EXPECT_EQ(TestSupport::readFile(seen), "") << "recording ends with the value";
}

TEST_F(ProcessRunnerTest, ReplacedRegistrationSurvivesTheEarlierRunEnding) {
    // Two runs under one job: the second replaces the first in the registry. When the first
    // ends it must not take the second's entry with it.
    fs::path go = directory / "go";
    // Each tool records the SIGTERMs it gets once its trap is set (it then creates
    // "<name>.ready") and ends by itself with status 3 after 30 s.
    auto recording = [&](const std::string& name, const std::string& onTerm,
                         const std::string& condition) {
        fs::path signals = directory / (name + ".signals");
        std::string executable =
            tool(name, "trap 'echo TERM >> \"" + signals.string() + "\"" + onTerm + "' TERM\n" +
                           "touch '" + (directory / (name + ".ready")).string() + "'\n" +
                           "i=0; while [ $i -lt 600 ] && " + condition +
                           "; do sleep 0.05; i=$((i+1)); done\nexit 3");
        return std::pair{executable, signals};
    };
    // Cancels `job` until the tool's first SIGTERM has been recorded: then it is registered.
    auto cancelUntilRecorded = [&](const fs::path& signals) {
        waitForFile(fs::path(signals).replace_extension(".ready"));
        for (int i = 0; i < 3000 && !fs::exists(signals); ++i) {
            ProcessRunner::cancel("job");
            std::this_thread::sleep_for(20ms);
        }
        ASSERT_TRUE(fs::exists(signals));
    };
    // The first keeps ignoring SIGTERM; it ends when told to.
    auto [firstTool, firstSignals] = recording("first", "", "[ ! -e '" + go.string() + "' ]");
    auto first = std::async(std::launch::async, [&] {
        return run(firstTool, {}, Failure::allowed, std::nullopt, 120, "job");
    });
    cancelUntilRecorded(firstSignals);
    // The second dies of a SIGTERM once the first has been told to end.
    auto [secondTool, secondSignals] = recording(
        "second", "; [ -e \"" + go.string() + "\" ] && { trap - TERM; kill -TERM $$; }", "true");
    auto second = std::async(std::launch::async, [&] {
        return run(secondTool, {}, Failure::allowed, std::nullopt, 120, "job");
    });
    cancelUntilRecorded(secondSignals);
    TestSupport::writeFile(go, "");
    EXPECT_EQ(first.get().status, 3);
    while (second.wait_for(20ms) != std::future_status::ready) {
        ProcessRunner::cancel("job");
    }
    EXPECT_EQ(second.get().status, 15) << "the second run could no longer be cancelled";
}

TEST_F(ProcessRunnerTest, LaunchFailuresCreateAndRegisterNothing) {
    TestSupport::writeFile(tools / "not-executable", "#!/bin/sh\n");
    ::chmod((tools / "not-executable").c_str(), 0644);
    const fs::path cases[] = {tools / "missing", tools / "not-executable", tools};
    for (const auto& executable : cases) {
        SCOPED_TRACE(executable);
        try {
            run(executable.string(), {}, Failure::allowed, directory / "log", 60, "job");
            ADD_FAILURE() << "the run succeeded";
        } catch (const std::system_error& error) {
            EXPECT_EQ(std::string(error.what()).rfind("Cannot run " + executable.string(), 0), 0u)
                << error.what();
        }
        EXPECT_FALSE(fs::exists(directory / "log"));
        ProcessRunner::cancel("job");
    }
    std::string executable = tool("tool", "exit 0");
    EXPECT_EQ(failure([&] {
                  ProcessRunner::run(executable, {}, directory / "gone", std::nullopt, 60,
                                     std::nullopt, Failure::raised);
              }),
              "Cannot run " + executable + " in " + (directory / "gone").string() +
                  ": No such file or directory");
}

TEST_F(ProcessRunnerTest, ToolsGetACleanEnvironmentAndNothingElse) {
    ScopedEnvironment injected("DYLD_INSERT_LIBRARIES", "/injected.dylib");
    ScopedEnvironment preloaded("LD_PRELOAD", "/nonexistent/preload.so");
    ScopedEnvironment buffered("NSUnbufferedIO", "NO");
    ScopedEnvironment kept("ZUQ_TEST_MARK", "kept value");

    // A descriptor opened without close-on-exec must still not reach the tool.
    int leaked = ::fcntl(0, F_DUPFD, 50);
    ASSERT_GE(leaked, 50);
    // Standard input holding unread data and an open writer: a tool reading an inherited
    // standard input would print it and then never see its end.
    int input[2];
    ASSERT_EQ(::pipe(input), 0);
    ASSERT_EQ(::write(input[1], "leak", 4), 4);
    int savedInput = ::dup(0);
    ::dup2(input[0], 0);

    fs::path work = directory / "work";
    fs::create_directories(work);
    std::string executable = tool("inspect", "pwd; cat; [ -e /dev/fd/" + std::to_string(leaked) +
                                                 " ] && echo leaked; env >&2");
    ProcessResult result;
    EXPECT_NO_THROW(result = ProcessRunner::run(executable, {}, work, std::nullopt, 20,
                                                std::nullopt, Failure::raised));
    ::dup2(savedInput, 0);
    for (int fd : {savedInput, input[0], input[1], leaked}) {
        ::close(fd);
    }

    EXPECT_EQ(result.output, fs::canonical(work).string() + "\n");
    std::istringstream lines(result.error);
    std::vector<std::string> environment;
    for (std::string line; std::getline(lines, line);) {
        environment.push_back(line);
    }
    auto count = [&](const std::string& prefix) {
        return std::count_if(environment.begin(), environment.end(),
                             [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
    };
    EXPECT_EQ(count("NSUnbufferedIO=YES"), 1);
    EXPECT_EQ(count("NSUnbufferedIO="), 1);
    EXPECT_EQ(count("DYLD_INSERT_LIBRARIES="), 0);
#ifndef __APPLE__
    EXPECT_EQ(count("LD_PRELOAD="), 0);
#endif
    EXPECT_EQ(count("ZUQ_TEST_MARK=kept value"), 1);
}

TEST_F(ProcessRunnerTest, ToolsDirectoryStandsInForMacPaths) {
    struct Case {
        std::optional<std::string> directory;
        std::string executable;
        fs::path expected;
    };
    const Case cases[] = {
        {std::nullopt, "/usr/bin/xcrun", "/usr/bin/xcrun"},
        {"", "/usr/bin/codesign", "/usr/bin/codesign"},
        {"/opt/sim", "/usr/bin/xcrun", "/opt/sim/xcrun"},
        {"/opt/sim/", "/usr/bin/security", "/opt/sim/security"},
        {"sim", "/bin/launchctl", fs::current_path() / "sim/launchctl"},
        {"/opt/sim", "/usr/bin/ditto/", "/opt/sim/ditto"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.executable);
        ScopedEnvironment mapping("ZUQ_TOOLS_DIR", c.directory);
        EXPECT_EQ(Platform::toolPath(c.executable), c.expected);
    }

    // Messages and transcripts name the tool the code asked for, not the stand-in.
    tool("xcrun", "printf 'no devices\\n' >&2; exit 1");
    fs::path log = directory / "install.log";
    ScopedEnvironment mapping("ZUQ_TOOLS_DIR", tools.string());
    EXPECT_EQ(failure([&] { run("/usr/bin/xcrun", {"devicectl"}, Failure::raised, log); }),
              "xcrun failed (1): no devices\n\nFull log: " + log.string());
    EXPECT_EQ(TestSupport::readFile(log), "\n$ xcrun devicectl\nno devices\n");
}

TEST_F(ProcessRunnerTest, ConcurrentRunsKeepTheirOwnResults) {
    std::string echo = tool("echo", "printf '%s' \"$1\"; printf '%s' \"$1\" >&2");
    std::vector<std::future<ProcessResult>> runs;
    for (int i = 0; i < 8; ++i) {
        runs.push_back(std::async(std::launch::async, [&, i] {
            return run(echo, {"run " + std::to_string(i)}, Failure::raised, std::nullopt, 60,
                       "job-" + std::to_string(i));
        }));
    }
    for (int i = 0; i < 8; ++i) {
        ProcessResult result = runs[static_cast<std::size_t>(i)].get();
        EXPECT_EQ(result.output, "run " + std::to_string(i));
        EXPECT_EQ(result.error, "run " + std::to_string(i));
    }
}

// MARK: Child processes

TEST(ChildProcess, NeverSignalsAReapedChildAndKillsAnAbandonedOne) {
    Platform::ChildProcess exited =
        Platform::ChildProcess::spawn({"/bin/sh", {"-c", "exit 7"}, {}, std::nullopt});
    exited.waitForExit();
    EXPECT_EQ(::kill(exited.pid(), 0), 0) << "an exited child keeps its pid until reaped";
    EXPECT_TRUE(exited.signal(0));
    EXPECT_EQ(exited.reap(), 7);
    EXPECT_EQ(exited.reap(), 7);
    EXPECT_FALSE(exited.signal(SIGTERM)) << "a reaped pid may belong to another process";

    pid_t pid;
    {
        Platform::ChildProcess running =
            Platform::ChildProcess::spawn({"/bin/sleep", {"60"}, {}, std::nullopt});
        pid = running.pid();
        Platform::ChildProcess moved = std::move(running);
        EXPECT_EQ(moved.pid(), pid);
        EXPECT_FALSE(running.signal(0));
    }
    errno = 0;
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH) << "a dropped child must be killed and reaped";
}

} // namespace
