// Measures hashing, encryption, decryption, packaging and unpacking of one large file, each in
// its own process, beside the tools that bound what they can reach on this machine: a digest
// tool, a plain copy (the cost of writing the file at all), a streaming file encryptor, and the
// cipher's own in-memory rate. Prints every figure and the ratios the goals are stated in.
//
//   artifact-crypto-benchmark compare FILE WORK_DIRECTORY [RUNS [SETTLE_SECONDS]]
//   artifact-crypto-benchmark one OPERATION ARGUMENTS...   (one measured operation; internal)
#include "ArtifactCrypto.hpp"
#include "Platform/File.hpp"
#include "Platform/Random.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* job = "0F8B1C52-2D1A-4E0B-9A57-6E3C1D2B4A10";

struct Figures {
    double wall = 0;   // seconds
    double user = 0;   // seconds of user CPU
    double system = 0; // seconds of system CPU
    double peak = 0;   // peak resident memory, MiB
    std::string out;   // standard output
};

double seconds(const timeval& time) {
    return static_cast<double>(time.tv_sec) + time.tv_usec / 1e6;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double median(const std::vector<Figures>& runs, double Figures::*field) {
    std::vector<double> values;
    for (const Figures& figures : runs) {
        values.push_back(figures.*field);
    }
    return median(std::move(values));
}

// Runs a program found on PATH, capturing its standard output, and waits for it; its own
// resource use comes from wait4.
Figures measure(const std::vector<std::string>& arguments) {
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], 1);
    // Standard error is kept aside and shown only if the program fails.
    Platform::TemporaryFile errors(Platform::temporaryDirectory(), "artifact-benchmark-");
    posix_spawn_file_actions_adddup2(&actions, errors.fd(), 2);
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    Clock::time_point start = Clock::now();
    pid_t child = 0;
    int error = ::posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe[1]);
    if (error != 0) {
        ::close(pipe[0]);
        throw std::system_error(error, std::generic_category(), "Cannot start " + arguments[0]);
    }
    Figures figures;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipe[0], buffer, sizeof buffer)) != 0;) {
        if (n > 0) {
            figures.out.append(buffer, static_cast<std::size_t>(n));
        } else if (errno != EINTR) {
            break;
        }
    }
    ::close(pipe[0]);
    int status = 0;
    rusage usage{};
    while (::wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    figures.wall = std::chrono::duration<double>(Clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string command;
        for (const std::string& argument : arguments) {
            command += argument + " ";
        }
        throw std::runtime_error("Failed: " + command + "\n" + Platform::readFile(errors.path()));
    }
    figures.user = seconds(usage.ru_utime);
    figures.system = seconds(usage.ru_stime);
    figures.peak = static_cast<double>(usage.ru_maxrss) / 1024.0;
    return figures;
}

double userSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return seconds(usage.ru_utime);
}

// Bytes per user-CPU second of sealing one 4 MiB chunk in memory, over about `duration` seconds
// of it. "openssl speed" divides by user CPU time as well, so time the host's other guests
// take from this one counts against neither. The chunk lies as encrypt lays it out: its box
// after a 4-byte length at the start of a page-aligned buffer.
double sealRate(double duration) {
    ArtifactCrypto::FrameCipher cipher(ArtifactCrypto::newKey());
    std::string plaintext = Platform::randomBytes(ArtifactCrypto::chunkSize);
    std::size_t capacity = (4 + ArtifactCrypto::maximumBox + 4095) / 4096 * 4096;
    std::unique_ptr<unsigned char, decltype(&std::free)> buffer(
        static_cast<unsigned char*>(std::aligned_alloc(4096, capacity)), &std::free);
    unsigned char* box = buffer.get() + 4;
    std::memcpy(box + ArtifactCrypto::nonceSize, plaintext.data(), plaintext.size());
    std::string label = std::string(job) + ":0:data";
    cipher.seal(box, ArtifactCrypto::chunkSize, label); // warm up
    std::size_t frames = 0;
    double start = userSeconds(), elapsed = 0;
    while (elapsed < duration) {
        cipher.seal(box, ArtifactCrypto::chunkSize, label);
        ++frames;
        elapsed = userSeconds() - start;
    }
    return static_cast<double>(frames * ArtifactCrypto::chunkSize) / elapsed;
}

// "openssl speed" reports thousands of bytes per second on its last line: "AES-256-GCM 123.45k".
double opensslSpeed(const std::string& out) {
    std::istringstream lines(out);
    std::string line, last;
    while (std::getline(lines, line)) {
        if (!line.empty()) {
            last = line;
        }
    }
    std::istringstream fields(last);
    std::string name, value;
    fields >> name >> value;
    if (value.empty() || value.back() != 'k') {
        throw std::runtime_error("Unexpected openssl speed output: " + last);
    }
    return std::stod(value.substr(0, value.size() - 1)) * 1000.0;
}

// One operation in this process, so that its resources are its own.
int one(const std::vector<std::string>& arguments) {
    const std::string& operation = arguments.at(0);
    std::string key = arguments.size() > 3 ? arguments[3] : "";
    if (operation == "sha256") {
        std::cout << ArtifactCrypto::sha256(arguments.at(1)) << '\n';
    } else if (operation == "encrypt") {
        ArtifactCrypto::encrypt(arguments.at(1), arguments.at(2), key, job);
    } else if (operation == "decrypt") {
        ArtifactCrypto::decrypt(arguments.at(1), arguments.at(2), key, job);
    } else if (operation == "package") {
        JSON manifest = JSON::object({{"ipa_sha256", arguments.at(3)}, {"job_id", job}});
        ArtifactCrypto::package(arguments.at(1), manifest, arguments.at(2));
    } else if (operation == "seal") {
        std::printf("%.0f\n", sealRate(std::stod(arguments.at(1))));
    } else if (operation == "unpack") {
        ArtifactCrypto::unpack(arguments.at(1), arguments.at(2));
    } else {
        std::cerr << "unknown operation " << operation << '\n';
        return 2;
    }
    return 0;
}

struct Row {
    std::string name;
    std::vector<std::string> command;
    std::vector<fs::path> removeAfter; // outputs not needed by a later row
};

std::string selfPath() {
    return fs::read_symlink("/proc/self/exe").string();
}

std::string ageRecipient(const fs::path& keyFile) {
    std::istringstream lines(Platform::readFile(keyFile));
    for (std::string line; std::getline(lines, line);) {
        if (auto at = line.find("age1"); line.starts_with("#") && at != std::string::npos) {
            return line.substr(at);
        }
    }
    throw std::runtime_error("No public key in " + keyFile.string());
}

void printFigures(const std::string& name, const Figures& f) {
    std::printf("%-28s %8.3f %8.3f %8.3f %10.1f\n", name.c_str(), f.wall, f.user, f.system, f.peak);
}

bool goal(const char* text, double value, double limit, bool atMost) {
    bool met = atMost ? value <= limit : value >= limit;
    std::printf("%-52s %7.3f  goal %s %.2f  %s\n", text, value, atMost ? "<=" : ">=", limit,
                met ? "met" : "MISSED");
    return met;
}

int compare(const fs::path& input, const fs::path& work, int repetitions,
            std::chrono::seconds settle) {
    fs::create_directories(work);
    std::string self = selfPath();
    std::string key = ArtifactCrypto::newKey();
    fs::path ageKey = work / "age.key";
    fs::remove(ageKey);
    measure({"age-keygen", "-o", ageKey.string()});
    std::string recipient = ageRecipient(ageKey);
    std::string digest =
        measure({"openssl", "dgst", "-sha256", "-r", input.string()}).out.substr(0, 64);
    fs::path encrypted = work / "build.zuqenc", decrypted = work / "decrypted";
    fs::path copied = work / "copy", aged = work / "build.age", unaged = work / "unaged";
    fs::path packaged = work / "build.pkg", unpacked = work / "unpacked.ipa";

    const std::vector<Row> rows = {
        {"sha256", {self, "one", "sha256", input.string()}, {}},
        {"openssl dgst -sha256", {"openssl", "dgst", "-sha256", input.string()}, {}},
        {"sha256sum", {"sha256sum", input.string()}, {}},
        {"cp", {"cp", input.string(), copied.string()}, {copied}},
        {"encrypt", {self, "one", "encrypt", input.string(), encrypted.string(), key}, {}},
        {"decrypt",
         {self, "one", "decrypt", encrypted.string(), decrypted.string(), key},
         {encrypted, decrypted}},
        {"age encrypt", {"age", "-r", recipient, "-o", aged.string(), input.string()}, {}},
        {"age decrypt",
         {"age", "-d", "-i", ageKey.string(), "-o", unaged.string(), aged.string()},
         {aged, unaged}},
        {"package", {self, "one", "package", input.string(), packaged.string(), digest}, {}},
        {"unpack",
         {self, "one", "unpack", packaged.string(), unpacked.string()},
         {packaged, unpacked}},
    };
    // Several rounds, each running every row once, so that other work on the machine spreads
    // over all rows; each figure is the median of its runs, peak memory the most seen. Before
    // every run the earlier outputs are written back and the machine is left to settle, so that
    // each run meets the same state: no write-back under way and, on a virtual machine that
    // hands freed memory back to its host, no freed pages left warm by the run before.
    std::map<std::string, std::vector<Figures>> runs;
    std::vector<double> ourRates, theirRates;
    for (int round = 0; round < repetitions; ++round) {
        for (const Row& row : rows) {
            ::sync();
            std::this_thread::sleep_for(settle);
            Figures figures = measure(row.command);
            if (row.name == "sha256" && figures.out.substr(0, 64) != digest) {
                throw std::runtime_error("sha256 disagrees with openssl dgst");
            }
            if (row.name == "decrypt" && fs::file_size(decrypted) != fs::file_size(input)) {
                throw std::runtime_error("decrypted size differs");
            }
            for (const fs::path& output : row.removeAfter) {
                fs::remove(output);
            }
            runs[row.name].push_back(figures);
        }
        ourRates.push_back(std::stod(measure({self, "one", "seal", "2"}).out));
        theirRates.push_back(opensslSpeed(measure({"openssl", "speed", "-evp", "aes-256-gcm",
                                                   "-bytes", "4194304", "-seconds", "2"})
                                              .out));
    }
    fs::remove(ageKey);
    std::map<std::string, Figures> best;
    for (const auto& [name, figures] : runs) {
        Figures& typical = best[name];
        typical.wall = median(figures, &Figures::wall);
        typical.user = median(figures, &Figures::user);
        typical.system = median(figures, &Figures::system);
        for (const Figures& f : figures) {
            typical.peak = std::max(typical.peak, f.peak);
        }
    }
    double ours = median(ourRates), theirs = median(theirRates);

    std::printf("%s: %.0f MiB; median of %d runs each, %lld s settling before each\n\n",
                input.c_str(), static_cast<double>(fs::file_size(input)) / 1048576.0, repetitions,
                static_cast<long long>(settle.count()));
    std::printf("%-28s %8s %8s %8s %10s\n", "operation", "wall s", "user s", "sys s", "peak MiB");
    for (const Row& row : rows) {
        printFigures(row.name, best[row.name]);
    }
    std::printf("\nin-memory sealing of a 4 MiB chunk: %.0f MB/s; openssl speed: %.0f MB/s\n\n",
                ours / 1e6, theirs / 1e6);
    bool met = true;
    met &= goal("sha256 wall / openssl dgst wall",
                best["sha256"].wall / best["openssl dgst -sha256"].wall, 1.05, true);
    std::printf("%-52s %7.3f  (for information)\n", "sha256 wall / sha256sum wall",
                best["sha256"].wall / best["sha256sum"].wall);
    met &= goal("encrypt wall / cp wall", best["encrypt"].wall / best["cp"].wall, 1.10, true);
    met &= goal("decrypt wall / cp wall", best["decrypt"].wall / best["cp"].wall, 1.10, true);
    met &= goal("encrypt user CPU / age encrypt user CPU",
                best["encrypt"].user / best["age encrypt"].user, 0.5, true);
    met &= goal("decrypt user CPU / age decrypt user CPU",
                best["decrypt"].user / best["age decrypt"].user, 0.5, true);
    met &= goal("in-memory sealing rate / openssl speed", ours / theirs, 0.9, false);
    for (const char* name : {"sha256", "encrypt", "decrypt", "package", "unpack"}) {
        met &= goal((std::string(name) + " peak resident memory, MiB").c_str(), best[name].peak, 32,
                    true);
    }
    std::printf("%-52s %7.3f  (for information)\n", "package wall / cp wall",
                best["package"].wall / best["cp"].wall);
    std::printf("%-52s %7.3f  (for information)\n", "unpack wall / cp wall",
                best["unpack"].wall / best["cp"].wall);
    std::printf("\n%s\n", met ? "all goals met" : "some goals missed");
    return met ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    try {
        if (arguments.size() >= 2 && arguments[0] == "one") {
            return one({arguments.begin() + 1, arguments.end()});
        }
        if (arguments.size() >= 3 && arguments.size() <= 5 && arguments[0] == "compare") {
            int repetitions = arguments.size() >= 4 ? std::stoi(arguments[3]) : 5;
            int settle = arguments.size() >= 5 ? std::stoi(arguments[4]) : 4;
            return compare(arguments[1], arguments[2], std::max(repetitions, 1),
                           std::chrono::seconds(std::max(settle, 0)));
        }
    } catch (const std::exception& error) {
        std::cerr << error.what() << '\n';
        return 1;
    }
    std::cerr
        << "usage: artifact-crypto-benchmark compare FILE WORK_DIRECTORY [RUNS [SETTLE_SECONDS]]\n";
    return 2;
}
