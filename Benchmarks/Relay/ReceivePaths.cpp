// Ways of receiving an upload's body from a socket into a file with its SHA-256, compared on
// loopback with the same sender, one after the other in each round:
//   one-thread   read 256 KiB, hash, write (the relay's way before the appending thread)
//   two-threads  read on one thread, hash and write on another (the relay's way now)
//   splice       socket -> pipe -> file without a copy through user space, then hashed from
//                the page cache through a mapping of what was written
//   splice-hash  the same with the hashing on a second thread
// Every way writes behind (as the relay's uploads do) and flushes once at the end.
//   receive-paths --file BUILD --dir DIR [--runs N]
#include "AppendingThread.hpp"
#include "Artifacts.hpp"
#include "Platform/Digest.hpp"
#include "Platform/File.hpp"

#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <functional>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <stdexcept>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t readSize = 256 * 1024;
constexpr std::size_t spliceSize = 1 << 20;
constexpr std::size_t hashWindow = 8 << 20;

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// A connected pair over loopback TCP: the sender's end and the receiver's.
std::pair<int, int> loopbackPair() {
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        fail("listen");
    }
    int sender = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sender < 0 || ::connect(sender, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        fail("connect");
    }
    int receiver = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (receiver < 0) {
        fail("accept");
    }
    ::close(listener);
    return {sender, receiver};
}

std::string oneThread(int socket, std::uint64_t length, const ZUQRelay::Artifacts& artifacts) {
    ZUQRelay::Upload upload(artifacts);
    std::vector<char> piece(readSize);
    for (std::uint64_t left = length; left > 0;) {
        ssize_t got = ::read(socket, piece.data(), std::min<std::uint64_t>(piece.size(), left));
        if (got <= 0) {
            fail("read");
        }
        upload.append(piece.data(), static_cast<std::size_t>(got));
        left -= static_cast<std::uint64_t>(got);
    }
    return upload.finish();
}

std::string twoThreads(int socket, std::uint64_t length, const ZUQRelay::Artifacts& artifacts) {
    ZUQRelay::Upload upload(artifacts);
    ZUQRelay::AppendingThread appender(upload, readSize);
    for (std::uint64_t left = length; left > 0;) {
        char* piece = appender.empty();
        if (piece == nullptr) {
            break;
        }
        // Handed over full, as the relay does.
        std::size_t want = std::min<std::uint64_t>(readSize, left);
        for (std::size_t got = 0; got < want;) {
            ssize_t read = ::read(socket, piece + got, want - got);
            if (read <= 0) {
                fail("read");
            }
            got += static_cast<std::size_t>(read);
        }
        appender.fill(want);
        left -= want;
    }
    appender.end();
    return upload.finish();
}

// Hashes [from, to) of the file through a read-only mapping of its page cache.
void hashMapped(Platform::SHA256& hash, int fd, std::uint64_t from, std::uint64_t to) {
    if (to == from) {
        return;
    }
    // A mapping starts on a page.
    static const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    std::uint64_t start = from / page * page;
    std::size_t size = to - start;
    void* mapped =
        ::mmap(nullptr, size, PROT_READ, MAP_SHARED | MAP_POPULATE, fd, static_cast<off_t>(start));
    if (mapped == MAP_FAILED) {
        fail("mmap");
    }
    hash.update(static_cast<const char*>(mapped) + (from - start), to - from);
    ::munmap(mapped, size);
}

std::string spliced(int socket, std::uint64_t length, const ZUQRelay::Artifacts& artifacts,
                    bool hashBeside) {
    Platform::TemporaryFile file(artifacts.directory(), ".splice-");
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) {
        fail("pipe");
    }
    ::fcntl(pipe[1], F_SETPIPE_SZ, static_cast<int>(spliceSize));
    Platform::SHA256 hash;
    ZUQRelay::WriteBehind behind(file.fd());
    std::mutex mutex;
    std::condition_variable moved;
    std::uint64_t written = 0;
    bool failed = false;
    std::jthread hasher;
    if (hashBeside) {
        hasher = std::jthread([&] {
            std::uint64_t hashed = 0;
            while (hashed < length) {
                std::uint64_t until;
                {
                    std::unique_lock lock(mutex);
                    moved.wait(lock, [&] {
                        return failed || written == length || written - hashed >= hashWindow;
                    });
                    if (failed) {
                        return;
                    }
                    until = written;
                }
                hashMapped(hash, file.fd(), hashed, until);
                hashed = until;
            }
        });
    }
    // A failure here must not leave the hasher waiting for more.
    struct Unblock {
        std::mutex& mutex;
        std::condition_variable& moved;
        bool& failed;
        ~Unblock() {
            std::lock_guard lock(mutex);
            failed = std::uncaught_exceptions() > 0;
            moved.notify_all();
        }
    } unblock{mutex, moved, failed};
    std::uint64_t hashed = 0;
    while (written < length) {
        ssize_t in = ::splice(socket, nullptr, pipe[1], nullptr,
                              std::min<std::uint64_t>(spliceSize, length - written),
                              SPLICE_F_MOVE | SPLICE_F_MORE);
        if (in <= 0) {
            fail("splice from the socket");
        }
        for (ssize_t left = in; left > 0;) {
            ssize_t out = ::splice(pipe[0], nullptr, file.fd(), nullptr,
                                   static_cast<std::size_t>(left), SPLICE_F_MOVE);
            if (out <= 0) {
                fail("splice into the file");
            }
            left -= out;
        }
        {
            std::lock_guard lock(mutex);
            written += static_cast<std::uint64_t>(in);
        }
        moved.notify_one();
        behind.advance(written);
        if (!hashBeside && (written - hashed >= hashWindow || written == length)) {
            hashMapped(hash, file.fd(), hashed, written);
            hashed = written;
        }
    }
    if (hasher.joinable()) {
        hasher.join();
    }
    ::close(pipe[0]);
    ::close(pipe[1]);
    Platform::syncFile(file.fd(), file.path());
    return hash.hexDigest();
}

double seconds(const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    std::string buildPath;
    std::string directory;
    int runs = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--file") {
            buildPath = argv[i + 1];
        } else if (option == "--dir") {
            directory = argv[i + 1];
        } else if (option == "--runs") {
            runs = std::stoi(argv[i + 1]);
        }
    }
    if (buildPath.empty() || directory.empty() || runs < 1) {
        std::fprintf(stderr, "usage: receive-paths --file BUILD --dir DIR [--runs N]\n");
        return 2;
    }
    try {
        int build = ::open(buildPath.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat status {};
        if (build < 0 || ::fstat(build, &status) != 0) {
            fail(buildPath);
        }
        auto length = static_cast<std::uint64_t>(status.st_size);
        std::string expected = Platform::sha256Hex(std::string_view(
            static_cast<const char*>(::mmap(nullptr, length, PROT_READ, MAP_SHARED, build, 0)),
            length));
        ZUQRelay::Artifacts artifacts(directory);
        using Way = std::function<std::string(int, std::uint64_t, const ZUQRelay::Artifacts&)>;
        const std::vector<std::pair<std::string, Way>> ways = {
            {"one-thread", oneThread},
            {"two-threads", twoThreads},
            {"splice", [](int s, std::uint64_t n, auto& a) { return spliced(s, n, a, false); }},
            {"splice-hash", [](int s, std::uint64_t n, auto& a) { return spliced(s, n, a, true); }},
        };
        struct Best {
            double megabytes = 0, user = 0, system = 0;
        };
        std::map<std::string, Best> best;
        for (int run = 1; run <= runs; ++run) {
            for (const auto& [name, way] : ways) {
                auto [sender, receiver] = loopbackPair();
                rusage before{};
                ::getrusage(RUSAGE_SELF, &before);
                auto start = std::chrono::steady_clock::now();
                std::jthread send([&, sender = sender] {
                    off_t offset = 0;
                    while (static_cast<std::uint64_t>(offset) < length) {
                        if (::sendfile(sender, build, &offset, length - offset) <= 0) {
                            break;
                        }
                    }
                    ::shutdown(sender, SHUT_WR);
                });
                std::string sha;
                try {
                    sha = way(receiver, length, artifacts);
                } catch (const std::exception& error) {
                    // The sender must not wait for a reader that is gone.
                    ::shutdown(receiver, SHUT_RDWR);
                    send.join();
                    ::close(sender);
                    ::close(receiver);
                    std::printf("run %d  %-12s failed: %s\n", run, name.c_str(), error.what());
                    continue;
                }
                send.join();
                double elapsed =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                rusage after{};
                ::getrusage(RUSAGE_SELF, &after);
                ::close(sender);
                ::close(receiver);
                if (sha != expected) {
                    std::fprintf(stderr, "%s: wrong digest\n", name.c_str());
                    return 1;
                }
                double megabytes = static_cast<double>(length) / 1e6 / elapsed;
                double user = seconds(after.ru_utime) - seconds(before.ru_utime);
                double system = seconds(after.ru_stime) - seconds(before.ru_stime);
                std::printf("run %d  %-12s %7.0f MB/s  processor user %.2f s, sys %.2f s\n", run,
                            name.c_str(), megabytes, user, system);
                std::fflush(stdout);
                if (megabytes > best[name].megabytes) {
                    best[name] = {megabytes, user, system};
                }
            }
        }
        std::printf("best of %d (sender and receiver together in one process):\n", runs);
        for (const auto& [name, way] : ways) {
            std::printf("  %-12s %7.0f MB/s  user %.2f s, sys %.2f s\n", name.c_str(),
                        best[name].megabytes, best[name].user, best[name].system);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "receive-paths: %s\n", error.what());
        return 1;
    }
    return 0;
}
