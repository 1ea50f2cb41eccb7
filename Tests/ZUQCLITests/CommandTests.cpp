// The group and job commands of the real `zuq` binary against a scripted relay: what they
// send, what they print, and what they refuse before sending anything.
#include "ScriptedRelay.hpp"
#include "Storage.hpp"
#include "Support.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

using TestSupport::Output;

constexpr const char* jobID = "6F9619FF-8B86-D011-B42D-00CF4FC964FF";

class Commands : public TestSupport::TemporaryDirectoryTest {
protected:
    void enrol() {
        CredentialStore::save(Credentials{relay.origin(), "mac-1", "tok", "g-1", "Team", "Mac One",
                                          "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8="});
    }

    Output zuq(const std::vector<std::string>& arguments) {
        return TestSupport::run(TestSupport::binaryDirectory() / "zuq", arguments);
    }

    static std::string errorObject(const std::string& message) {
        return JSON::object({{"error", message}}).pretty() + "\n";
    }

    TestSupport::ScriptedRelay relay;
};

TEST_F(Commands, RefuseBadInputBeforeAnyRequest) {
    relay.start();
    enrol();
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const Case cases[] = {
        {{"run", "--mode", "Debug", "--receiver", "r"}, "Mode must be adhoc or debug"},
        {{"run", "--project", "p", "--scheme", "s", "--device", "d"},
         "Required option: --receiver"},
        {{"run", "--receiver", "r", "--scheme", "s", "--device", "d"},
         "Required option: --project"},
        {{"run", "--receiver", "r", "--project", "p", "--device", "d"},
         "Required option: --scheme"},
        {{"run", "--receiver", "r", "--project", "p", "--scheme", "s"},
         "Required option: --device"},
        {{"run", "--receiver", "", "--project", "p", "--scheme", "s", "--device", "d"},
         "Required option: --receiver"},
        {{"job"}, "Provide a valid job UUID"},
        {{"job", "not-a-uuid"}, "Provide a valid job UUID"},
        {{"job", jobID, "extra"}, "Provide a valid job UUID"},
        {{"logs", "6F9619FF8B86D011B42D00CF4FC964FF"}, "Provide a valid job UUID"},
        {{"cancel"}, "Provide a valid job UUID"},
        {{"logs", jobID, "--follow", "--timeout", "0"},
         "Timeout must be between 1 and 86400 seconds"},
        {{"group", "revoke"}, "Provide a Mac ID"},
        {{"group", "revoke", "a", "b"}, "Provide a Mac ID"},
        {{"group", "revoke", "a b"}, "Invalid API path"},
        {{"group", "nonsense"}, "Unknown command. Run zuq --help."},
    };
    for (const auto& c : cases) {
        Output output = zuq(c.arguments);
        EXPECT_EQ(output.err, errorObject(c.message)) << c.arguments[0];
        EXPECT_EQ(output.out, "");
        EXPECT_EQ(output.status, 1);
    }
    EXPECT_TRUE(relay.requests().empty());
}

TEST_F(Commands, RunFillsInDefaultsAndSendsExactlySevenMembers) {
    relay.answer("POST", "/v1/jobs", 200, R"({"id": "j-1", "state": "building"})");
    relay.start();
    enrol();
    struct Case {
        std::vector<std::string> extra;
        const char* builder;
        const char* mode;
        const char* configuration;
    };
    const Case cases[] = {
        {{}, "mac-1", "adhoc", "Release"},
        {{"--mode", "debug"}, "mac-1", "debug", "Debug"},
        {{"--mode", "debug", "--configuration", "Staging"}, "mac-1", "debug", "Staging"},
        {{"--configuration", "Staging", "--builder", "mac-9"}, "mac-9", "adhoc", "Staging"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments{"run",      "--receiver", "mac-2",    "--project", "p-1",
                                           "--scheme", "App",        "--device", "UDID-1"};
        arguments.insert(arguments.end(), c.extra.begin(), c.extra.end());
        Output output = zuq(arguments);
        ASSERT_EQ(output.status, 0) << output.err;
        EXPECT_EQ(output.out, "{\n  \"id\" : \"j-1\",\n  \"state\" : \"building\"\n}\n");
        EXPECT_EQ(JSON::decode(relay.bodies().back()), JSON::object({
                                                           {"builder_id", c.builder},
                                                           {"receiver_id", "mac-2"},
                                                           {"project_id", "p-1"},
                                                           {"scheme", "App"},
                                                           {"configuration", c.configuration},
                                                           {"mode", c.mode},
                                                           {"udid", "UDID-1"},
                                                       }));
    }
}

TEST_F(Commands, WaitingEndsOnTheJobsFinalState) {
    relay.answer("GET", "/v1/jobs/11111111-1111-1111-1111-111111111111", 200,
                 R"({"id": "1", "state": "succeeded", "artifact_sha": "abc"})");
    relay.answer("GET", "/v1/jobs/22222222-2222-2222-2222-222222222222", 200,
                 R"({"state": "failed", "error": "Archive failed"})");
    relay.answer("GET", "/v1/jobs/33333333-3333-3333-3333-333333333333", 200,
                 R"({"state": "cancelled", "error": null})");
    relay.answer("GET", "/v1/jobs/44444444-4444-4444-4444-444444444444", 200,
                 R"({"state": "building"})");
    relay.answer(
        "GET", R"(/v1/jobs/[0-9-]+/events)", 200,
        R"({"events": [{"id": 4, "message": "Archiving"}, {"id": 2}, {"message": "again"}]})");
    relay.start();
    enrol();

    Output succeeded = zuq({"logs", "11111111-1111-1111-1111-111111111111", "--follow"});
    EXPECT_EQ(succeeded.status, 0);
    EXPECT_EQ(JSON::decode(succeeded.out)["artifact_sha"].text(), "abc");
    EXPECT_EQ(succeeded.err, "Archiving\n\nagain\n") << "events print as the relay sends them";

    Output failed = zuq({"logs", "22222222-2222-2222-2222-222222222222", "--follow"});
    EXPECT_EQ(failed.err, "Archiving\n\nagain\n" +
                              errorObject("Job 22222222-2222-2222-2222-222222222222 failed: "
                                          "Archive failed"));
    Output cancelled = zuq({"logs", "33333333-3333-3333-3333-333333333333", "--follow"});
    EXPECT_EQ(cancelled.status, 1);
    EXPECT_NE(cancelled.err.find("Job 33333333-3333-3333-3333-333333333333 cancelled: \""),
              std::string::npos);

    // Two passes 3 seconds apart fit a 4-second deadline; the third finds it passed.
    Output late =
        zuq({"logs", "44444444-4444-4444-4444-444444444444", "--follow", "--timeout", "4"});
    EXPECT_EQ(late.status, 1);
    EXPECT_EQ(late.out, "");
    EXPECT_TRUE(late.err.ends_with(errorObject(
        "Timed out waiting for job 44444444-4444-4444-4444-444444444444. The job continues; use "
        "zuq job 44444444-4444-4444-4444-444444444444 to inspect it.")));
    std::vector<std::string> cursors;
    for (const auto& request : relay.requests()) {
        if (request.path.find("44444444") != std::string::npos &&
            request.path.ends_with("/events")) {
            cursors.push_back(request.get_param_value("after"));
        }
    }
    EXPECT_EQ(cursors, (std::vector<std::string>{"0", "4"})) << "the cursor is the largest id seen";
}

TEST_F(Commands, GroupWideListsSkipRevokedMacs) {
    relay.answer("GET", "/v1/group", 200, R"({"devices": [
        {"id": "a", "name": "A", "online": true, "revoked": false,
         "inventory": {"projects": [{"id": "p"}], "phones": [{"udid": "u"}]}},
        {"id": "b", "name": "B", "online": false, "revoked": true, "inventory": null},
        {"id": "c", "name": "C", "online": false, "revoked": 1},
        {"id": "d", "name": "D", "online": false, "revoked": 0},
        {"id": "e", "name": "E", "online": false}]})");
    relay.start();
    enrol();
    Output projects = zuq({"projects", "list"});
    ASSERT_EQ(projects.status, 0) << projects.err;
    JSON listed = JSON::decode(projects.out);
    ASSERT_EQ(listed.items().size(), 3u);
    EXPECT_EQ(listed.items()[0], JSON::object({{"mac_id", "a"},
                                               {"mac_name", "A"},
                                               {"online", true},
                                               {"projects", JSON::decode(R"([{"id": "p"}])")}}));
    EXPECT_EQ(listed.items()[1]["mac_id"].text(), "d");
    EXPECT_EQ(listed.items()[2].fields().count("projects"), 1u);
    EXPECT_TRUE(listed.items()[2]["projects"].isNull());
    Output phones = zuq({"devices"});
    EXPECT_EQ(JSON::decode(phones.out).items()[0]["phones"], JSON::decode(R"([{"udid": "u"}])"));
}

TEST_F(Commands, GroupCommandsReadTheirFilesAndOptions) {
    relay.answer("POST", "/v1/groups", 200,
                 R"({"group_id": "g", "group_name": "My Macs", "device_id": "d", "token": "t"})");
    relay.answer("POST", "/v1/join", 200,
                 R"({"group_id": "g", "group_name": "My Macs", "device_id": "d2", "token": "t2"})");
    relay.answer("POST", "/v1/invites", 200, R"({"code": "C", "expires_in_seconds": 900})");
    relay.start();
    TestSupport::writeFile(directory / "bootstrap", "  secret\n\n");
    Output created = zuq({"group", "create", "--bootstrap-file", (directory / "bootstrap").string(),
                          "--server", relay.origin(), "--device-name", ""});
    ASSERT_EQ(created.status, 0) << created.err;
    EXPECT_EQ(created.out, "{\n  \"device_id\" : \"d\",\n  \"group_id\" : \"g\",\n  \"group_name\" "
                           ": \"My Macs\"\n}\n");
    EXPECT_EQ(relay.requests().back().get_header_value("X-ZUQ-Bootstrap"), "secret");
    EXPECT_EQ(JSON::decode(relay.bodies().back()),
              JSON::object({{"name", "My Macs"}, {"device_name", ""}}));

    Output invite = zuq({"group", "invite"});
    ASSERT_EQ(invite.status, 0) << invite.err;
    EXPECT_NE(invite.out.find("\"expires_in_seconds\" : 900,\n"), std::string::npos);
    EXPECT_TRUE(JSON::decode(invite.out)["invite"].text().starts_with("zuq1."));
    TestSupport::writeFile(directory / "invite.json", invite.out);

    TestSupport::ScopedEnvironment secondMac("HOME", (directory / "second").string());
    Output joined = zuq({"group", "join", "--invite-file", (directory / "invite.json").string(),
                         "--invite", "zuq1.ignored", "--device-name", "Mac Two"});
    ASSERT_EQ(joined.status, 0) << joined.err;
    EXPECT_EQ(JSON::decode(joined.out)["device_id"].text(), "d2");
    EXPECT_EQ(JSON::decode(relay.bodies().back()),
              JSON::object({{"code", "C"}, {"device_name", "Mac Two"}}));
    EXPECT_EQ(CredentialStore::require().server, relay.origin());

    TestSupport::ScopedEnvironment thirdMac("HOME", (directory / "third").string());
    EXPECT_EQ(zuq({"group", "join"}).err, errorObject("Required option: --invite"));
    EXPECT_EQ(zuq({"group", "create"}).err, errorObject("Required option: --bootstrap-file"));
    Output missing = zuq({"group", "create", "--bootstrap-file", (directory / "none").string()});
    EXPECT_NE(missing.err.find("No such file or directory"), std::string::npos) << missing.err;
}

} // namespace

namespace {

// Runs `program` with descriptor `onTerminal` (standard output or error) on a new
// pseudo-terminal in raw mode (so the terminal adds nothing to what it writes) and the other
// one on the file `other`; returns what arrived on the terminal.
std::string outputOnTerminal(const std::filesystem::path& program,
                             const std::vector<std::string>& arguments, int onTerminal,
                             const std::filesystem::path& other) {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        ADD_FAILURE() << "no pseudo-terminal: " << std::strerror(errno);
        return {};
    }
    std::string slavePath = ::ptsname(master);
    int slave = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY);
    termios mode{};
    ::tcgetattr(slave, &mode);
    ::cfmakeraw(&mode);
    ::tcsetattr(slave, TCSANOW, &mode);

    TestSupport::Invocation invocation(program, arguments, {});
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, onTerminal == 1 ? 2 : 1, other.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, slave, onTerminal);
    posix_spawn_file_actions_addclose(&actions, master);
    pid_t pid = -1;
    int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, invocation.argv(),
                                invocation.envp());
    posix_spawn_file_actions_destroy(&actions);
    ::close(slave);
    std::string shown;
    if (spawned == 0) {
        // Read until the child has exited and the terminal is drained: reading from a master
        // whose terminal has no more users fails with EIO.
        char buffer[4096];
        for (;;) {
            ssize_t got = ::read(master, buffer, sizeof buffer);
            if (got > 0) {
                shown.append(buffer, static_cast<std::size_t>(got));
            } else if (got < 0 && errno == EINTR) {
                continue;
            } else {
                break;
            }
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
    } else {
        ADD_FAILURE() << "cannot start " << program << ": " << std::strerror(spawned);
    }
    ::close(master);
    return shown;
}

TEST_F(Commands, FollowedEventsShowControlCharactersEscapedOnlyOnATerminal) {
    // Clears the screen, sets the window title, rings the bell, returns the carriage, and a
    // C1 control sequence introducer (U+009B) with a DEL; tabs, new lines and other text stay.
    const std::string message = "\x1b[2J\x1b]0;owned\x07 done\r\tnext\nline \xc2\x9b" "31m\x7f é";
    relay.answer("GET", "/v1/jobs/11111111-1111-1111-1111-111111111111", 200,
                 R"({"id": "1", "state": "succeeded"})");
    relay.answer("GET", R"(/v1/jobs/[0-9-]+/events)", 200,
                 JSON::object({{"events", JSON::array({JSON::object(
                                              {{"id", 1}, {"message", message}})})}})
                     .data());
    relay.start();
    enrol();
    const std::vector<std::string> arguments = {"logs", "11111111-1111-1111-1111-111111111111",
                                                "--follow"};

    std::string shown = outputOnTerminal(TestSupport::binaryDirectory() / "zuq", arguments, 2,
                                         directory / "out.json");
    EXPECT_EQ(shown, "\\u001b[2J\\u001b]0;owned\\u0007 done\\u000d\tnext\nline \\u009b31m\\u007f "
                     "é\n");
    EXPECT_EQ(JSON::decode(TestSupport::readFile(directory / "out.json"))["state"].text(),
              "succeeded");

    // Through a pipe the bytes are exactly the relay's.
    Output piped = zuq(arguments);
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.err, message + "\n");
}

TEST_F(Commands, DocumentsEscapeTerminalControlsOnlyOnATerminal) {
    // Another member's texts: an operating system command (U+009D) and a control sequence
    // introducer (U+009B) in C1 form, and DEL.
    const std::string error = "failed \xc2\x9d" "0;owned\xc2\x9c \xc2\x9b" "2J\x7f é";
    const std::string job = "11111111-1111-1111-1111-111111111111";
    relay.answer("GET", "/v1/jobs/" + job, 200,
                 JSON::object({{"id", job}, {"state", "failed"}, {"error", error}}).data());
    relay.answer("GET", "/v1/jobs/22222222-2222-2222-2222-222222222222", 404,
                 JSON::object({{"error", error}}).data());
    relay.start();
    enrol();
    const std::filesystem::path zuqProgram = TestSupport::binaryDirectory() / "zuq";
    const std::string escaped = "failed \\u009d0;owned\\u009c \\u009b2J\\u007f é";

    std::string shown = outputOnTerminal(zuqProgram, {"job", job}, 1, directory / "err");
    EXPECT_NE(shown.find("\"error\" : \"" + escaped + "\""), std::string::npos) << shown;
    EXPECT_EQ(JSON::decode(shown)["error"].text(), error) << "the same value, escaped";
    shown = outputOnTerminal(zuqProgram, {"job", "22222222-2222-2222-2222-222222222222"}, 2,
                             directory / "out");
    EXPECT_EQ(shown, "{\n  \"error\" : \"" + escaped + "\"\n}\n");

    // Files and pipes get the exact bytes.
    Output piped = zuq({"job", job});
    EXPECT_NE(piped.out.find("\"error\" : \"" + error + "\""), std::string::npos);
    piped = zuq({"job", "22222222-2222-2222-2222-222222222222"});
    EXPECT_EQ(piped.err, errorObject(error));
}

} // namespace
