// general_server_bench: connections served per second by an echo server built on the server component,
// beside a plain thread-per-connection echo server written with POSIX calls, in one run on 127.0.0.1.
//
// Each connection is one line: the client connects, sends "ligne N\n", reads the answer "echo ligne N\r\n"
// and closes. Clients run on 1 and on 2 threads (the listen backlog is 1, as the component's is, so more
// clients at once would only measure the kernel dropping handshakes). Beside the rate it prints the mean
// time from connect to answer and the processor time of the whole process per connection (clients
// included). Runs alternate between the two servers and the medians are printed, with each run's ratio.
//
// Usage: general_server_bench [--connections N] [--repeats R] [--profile | --profile-plain]
//   --profile runs only the component server (--profile-plain only the plain one), on one client thread,
//   for a profiler or strace -c to look at.
#include "net/psock/Psock.h"
// POSIX after the component's headers: their macros would rewrite the socket constants of the same names.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/vcl/Forms.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSocketWaitSec = 10;  // every receive of a client or of the plain server is bounded
constexpr int kMaxConnections = 1'000'000;
constexpr int kMaxRepeats = 20;

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void BoundReceives(int fd) {
    timeval tv{kSocketWaitSec, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

std::string ReadLine(int fd) {
    std::string line;
    char buffer[256];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return line;
        line.append(buffer, static_cast<std::size_t>(n));
        if (line.find('\n') != std::string::npos) return line;
    }
}

// ---- The echo server on the component ----

class TEchoServer : public Psock::TServerClass<TEchoServer> {
  public:
    using TServerClass::TServerClass;
    void Serve() override {
        std::string line = ReadLn();
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        Writeln("echo " + line);
    }
};

// ---- The plain server: blocking accept, one thread per connection, POSIX calls only ----

class PlainServer {
  public:
    PlainServer() {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(listener_, 1);
        socklen_t len = sizeof addr;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        acceptor_ = std::thread([this] { AcceptLoop(); });
    }
    ~PlainServer() {
        stop_ = true;
        acceptor_.join();
        ::close(listener_);
        // Served connections end within their receive bound.
        for (int i = 0; i < 1000 && live_ > 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::uint16_t Port() const { return port_; }

  private:
    void AcceptLoop() {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            const int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0) continue;
            ++live_;
            std::thread([this, fd] {
                BoundReceives(fd);
                std::string line = ReadLine(fd);
                while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
                const std::string answer = "echo " + line + "\r\n";
                ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
                ::close(fd);
                --live_;
            }).detach();
        }
    }

    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::thread acceptor_;
    std::atomic<bool> stop_{false};
    std::atomic<int> live_{0};
};

// ---- Clients ----

struct Result {
    int served = 0;
    double seconds = 0;
    double rate = 0;  // served connections per second
    double meanLatencyUs = 0;
    double cpuUsPerConnection = 0;
};

// Runs `connections` exchanges on `threads` client threads; `pump` keeps the server side going meanwhile.
Result Drive(std::uint16_t port, int connections, int threads,
             const std::function<void(std::atomic<bool>&)>& pump) {
    std::atomic<int> next{0}, served{0};
    std::atomic<long long> latencyNs{0};
    std::atomic<bool> done{false};
    const double cpu0 = CpuSeconds();
    const auto start = Clock::now();
    std::thread driver([&] {
        std::vector<std::thread> clients;
        for (int t = 0; t < threads; ++t) {
            clients.emplace_back([&] {
                for (int i = next++; i < connections; i = next++) {
                    const auto t0 = Clock::now();
                    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
                    BoundReceives(fd);
                    sockaddr_in addr{};
                    addr.sin_family = AF_INET;
                    addr.sin_port = htons(port);
                    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
                        const std::string line = "ligne " + std::to_string(i) + "\n";
                        ::send(fd, line.data(), line.size(), MSG_NOSIGNAL);
                        if (ReadLine(fd) == "echo ligne " + std::to_string(i) + "\r\n") {
                            ++served;
                            latencyNs +=
                                std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0)
                                    .count();
                        }
                    }
                    ::close(fd);
                }
            });
        }
        for (auto& c : clients) c.join();
        done = true;
    });
    pump(done);
    driver.join();
    Result r;
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    r.served = served;
    r.rate = served / r.seconds;
    r.meanLatencyUs = served ? static_cast<double>(latencyNs) / served / 1000.0 : 0;
    r.cpuUsPerConnection = (CpuSeconds() - cpu0) / connections * 1e6;
    return r;
}

Result RunComponent(int connections, int threads) {
    auto server = std::make_unique<TEchoServer>(nullptr);
    server->SetPort(0);
    server->BeginLoading();
    server->Loaded();
    const std::string p = server->GetPortString();  // ",high,low"
    const auto port = static_cast<std::uint16_t>(std::stoi(Psock::NthWord(p, ',', 2)) * 256 +
                                                 std::stoi(Psock::NthWord(p, ',', 3)));
    // The user-interface thread runs its message loop, as a program's does: it accepts, builds the clients,
    // handles their notifications and destroys the finished ones. A timer of its own ends the loop.
    Result r = Drive(port, connections, threads, [](std::atomic<bool>& done) {
        const auto deadline = Clock::now() + std::chrono::minutes(10);
        Psock::TThreadTimer watch(nullptr);
        watch.SetInterval(5);
        watch.SetOnTimer([&](vcl::TObject*) {
            if (done || Clock::now() > deadline) vcl::Application->Terminate();
        });
        watch.SetEnabled(true);
        vcl::Application->Initialize();  // clears the previous run's Terminate
        vcl::Application->Run();
    });
    server.reset();
    return r;
}

Result RunPlain(int connections, int threads) {
    PlainServer server;
    return Drive(server.Port(), connections, threads, [](std::atomic<bool>& done) {
        const auto deadline = Clock::now() + std::chrono::minutes(10);
        while (!done && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
}

// The run of median rate, field by field (each field's own median).
Result Median(std::vector<Result> runs) {
    auto mid = [&runs](auto field) {
        std::vector<double> v;
        for (const Result& r : runs) v.push_back(r.*field);
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    Result m;
    m.rate = mid(&Result::rate);
    m.meanLatencyUs = mid(&Result::meanLatencyUs);
    m.cpuUsPerConnection = mid(&Result::cpuUsPerConnection);
    int served = runs.front().served;
    for (const Result& r : runs) served = std::min(served, r.served);
    m.served = served;
    return m;
}

std::string Ratios(const std::vector<Result>& plain, const std::vector<Result>& component) {
    std::string text;
    char one[16];
    for (std::size_t i = 0; i < plain.size(); ++i) {
        std::snprintf(one, sizeof one, "%s%.2f", i ? " " : "", component[i].rate / plain[i].rate);
        text += one;
    }
    return text;
}

void Print(const char* name, int threads, int connections, const Result& r) {
    std::printf("%-22s clients %d  served %6d/%-6d  %8.0f conn/s  latency %7.1f us  cpu %7.1f us/conn\n",
                name, threads, r.served, connections, r.rate, r.meanLatencyUs, r.cpuUsPerConnection);
}

}  // namespace

int main(int argc, char** argv) {
    int connections = 3000;
    int repeats = 5;
    bool profile = false;
    bool profilePlain = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--connections") && i + 1 < argc)
            connections = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--repeats") && i + 1 < argc)
            repeats = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--profile"))
            profile = true;
        else if (!std::strcmp(argv[i], "--profile-plain"))
            profilePlain = true;
        else {
            std::fprintf(stderr, "usage: %s [--connections N] [--repeats R] [--profile | --profile-plain]\n",
                         argv[0]);
            return 2;
        }
    }
    if (connections < 1 || connections > kMaxConnections) connections = 3000;
    if (repeats < 1 || repeats > kMaxRepeats) repeats = 5;
    vcl::Application->Initialize();
    if (profile) {
        Print("component (profile)", 1, connections, RunComponent(connections, 1));
    } else if (profilePlain) {
        Print("plain (profile)", 1, connections, RunPlain(connections, 1));
    } else {
        std::printf(
            "echo servers on 127.0.0.1, one line per connection, %d connections per run, %d runs each "
            "(alternating), medians\n",
            connections, repeats);
        RunComponent(200, 1);  // warm-up
        for (int threads : {1, 2}) {
            std::vector<Result> plain, component;
            for (int r = 0; r < repeats; ++r) {
                plain.push_back(RunPlain(connections, threads));
                component.push_back(RunComponent(connections, threads));
            }
            const Result p = Median(plain), c = Median(component);
            Print("plain POSIX threads", threads, connections, p);
            Print("TNMGeneralServer", threads, connections, c);
            std::printf("%-22s clients %d  ratio %.2fx (runs: %s)\n", "", threads, c.rate / p.rate,
                        Ratios(plain, component).c_str());
        }
    }
    vcl::Application->Finalize();
    return 0;
}
