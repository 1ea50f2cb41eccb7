// Shared by every test program: a fresh directory per test, environment overrides, and a way
// to run the real binaries and capture what they print.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace TestSupport {

/// The directory holding the built binaries (zuq, zuq-relay, ...).
std::filesystem::path binaryDirectory();

/// Sets an environment variable for the life of the value, restoring the old state after.
class ScopedEnvironment {
public:
    ScopedEnvironment(std::string name, const std::optional<std::string>& value);
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
    ~ScopedEnvironment();

private:
    std::string name_;
    std::optional<std::string> previous_;
};

/// A test with its own empty directory, which is also HOME, TMPDIR's parent and the state
/// directory's parent; XDG_DATA_HOME is cleared so the keychain lives under this HOME.
class TemporaryDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::filesystem::path directory;
    std::filesystem::path home;
    std::filesystem::path stateDirectory;
    std::filesystem::path temporary;

private:
    std::vector<std::unique_ptr<ScopedEnvironment>> environment_;
};

/// What a finished process printed and how it ended.
struct Output {
    std::string out;
    std::string err;
    int status = -1; // exit code, or 128 + signal
};

/// The argument and environment vectors posix_spawn takes for `program` with `arguments`: the
/// current environment with `environment` laid over it (an empty value removes a variable).
class Invocation {
public:
    Invocation(const std::filesystem::path& program, const std::vector<std::string>& arguments,
               const std::map<std::string, std::string>& environment);
    Invocation(const Invocation&) = delete;
    Invocation& operator=(const Invocation&) = delete;

    char* const* argv() { return argv_.data(); }
    char* const* envp() { return envp_.data(); }

private:
    std::vector<std::string> words_;
    std::vector<std::string> variables_;
    std::vector<char*> argv_;
    std::vector<char*> envp_;
};

/// Runs `program` with `arguments` (no shell), the current environment plus `environment`
/// (an empty value removes a variable), standard input from `input`, and waits for it.
Output run(const std::filesystem::path& program, const std::vector<std::string>& arguments,
           const std::map<std::string, std::string>& environment = {},
           const std::string& input = {});

/// The message of whatever `call` throws, or "no error" when it returns.
template <typename Call>
std::string failure(Call&& call) {
    try {
        call();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "no error";
}

/// A certificate for 127.0.0.1 and localhost, signed by itself, with its key: written to
/// `directory`/cert.pem and key.pem by the openssl tool. Returns the certificate's path.
std::filesystem::path selfSignedCertificate(const std::filesystem::path& directory);

/// Polls `condition` every 100 ms for up to `limit`; returns whether it came true.
bool waitFor(const std::function<bool()>& condition, std::chrono::seconds limit);

/// Writes `content` to `path`, creating parent directories.
void writeFile(const std::filesystem::path& path, const std::string& content);
std::string readFile(const std::filesystem::path& path);

} // namespace TestSupport
