// psock_bench: the socket component beside plain POSIX sockets on the loopback, measured in one run.
//   1. Processor time of a ReadLn that waits 3 s for its line, as a share of one core, beside a blocking
//      recv() that waits the same way.
//   2. Lines per second of a ReadLn loop over a stream of short lines, beside a plain buffered reader, with
//      the time-out on (TimeOut 10000) and off (TimeOut 0): the difference is what the time-out timer costs.
// Each peer is a thread serving one connection on 127.0.0.1 with POSIX sockets. The component is used on
// the main thread only, since it waits by processing that thread's messages.
//
// Usage: psock_bench [--lines N] [--repeats R] [--no-idle] [--profile TIMEOUT_MS]
//   --profile runs only the component's line loop with the given TimeOut, for a profiler to look at
//   (the loop is the function ReadLinesWithComponent).
#include "net/psock/Psock.h"
// The POSIX headers come after the component's: their macros (SOL_SOCKET, MSG_PEEK...) would otherwise
// rewrite the component's socket constants of the same names.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/vcl/Forms.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kLoopback[] = "127.0.0.1";
// Every wait of a peer or of a plain reader is bounded, so that a broken run ends instead of hanging.
constexpr int kAcceptWaitMs = 10000;
constexpr int kSocketWaitSec = 20;
constexpr int kReaderClosePasses = 1000;
// 58 characters + CR LF, the shape of a long control-connection reply line.
constexpr std::size_t kLineBytes = 60;
constexpr int kSilenceMs = 3000;
constexpr int kComponentTimeOut = 10000;
constexpr std::size_t kPlainBufferBytes = 64 * 1024;
constexpr std::size_t kMaxLines = 10'000'000;
constexpr int kMaxRepeats = 10;

double SecondsSince(Clock::time_point start, Clock::time_point stop) {
    return std::chrono::duration<double>(stop - start).count();
}

// ---- Processor time ----

double Seconds(const timespec& t) { return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9; }
double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }

struct CpuSample {
    Clock::time_point wall;
    double thread = 0;      // processor time of the calling thread
    double process = 0;     // user + system time of all the process's threads (the notifier's too)
    long threadSleeps = 0;  // voluntary context switches of the calling thread
};

CpuSample SampleCpu() {
    CpuSample s;
    s.wall = Clock::now();
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    s.thread = Seconds(t);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    s.process = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    getrusage(RUSAGE_THREAD, &usage);
    s.threadSleeps = usage.ru_nvcsw;
    return s;
}

// Processor time over a wait, as a share of one core.
struct CpuShare {
    double wallSec = 0;
    double threadPct = 0;
    double processPct = 0;
    double wakeupsPerSec = 0;  // how often the waiting thread went back to sleep
};

CpuShare Between(const CpuSample& a, const CpuSample& b) {
    CpuShare share;
    share.wallSec = SecondsSince(a.wall, b.wall);
    if (share.wallSec <= 0) return share;
    share.threadPct = (b.thread - a.thread) / share.wallSec * 100;
    share.processPct = (b.process - a.process) / share.wallSec * 100;
    share.wakeupsPerSec = static_cast<double>(b.threadSleeps - a.threadSleeps) / share.wallSec;
    return share;
}

// ---- Peers ----

void SetWaitLimits(int fd) {
    const timeval limit{kSocketWaitSec, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

// A thread that accepts one connection on a loopback listener of its own and serves it.
class Peer {
  public:
    using Serve = std::function<bool(int fd)>;

    explicit Peer(Serve serve) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        ::inet_pton(AF_INET, kLoopback, &addr.sin_addr);
        socklen_t len = sizeof addr;
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listener_, 1) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            throw std::runtime_error("peer: no loopback listener");
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this, serve = std::move(serve)] { ok_ = Run(serve); });
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    ~Peer() {
        Join();
        ::close(listener_);
    }

    int Port() const { return port_; }
    // Waits for the peer to finish; true when it served its connection to the end.
    bool Join() {
        if (thread_.joinable()) thread_.join();
        return ok_;
    }

  private:
    bool Run(const Serve& serve) {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, kAcceptWaitMs) != 1) return false;
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return false;
        SetWaitLimits(fd);
        const bool ok = serve(fd);
        ::close(fd);
        return ok;
    }

    int listener_ = -1;
    int port_ = 0;
    bool ok_ = false;
    std::thread thread_;
};

// Sends all of data; false when the reader stopped taking it (closed, or idle past the send limit).
bool SendAll(int fd, const char* data, std::size_t size) {
    std::size_t sent = 0;
    while (sent < size) {  // each pass sends at least one byte or ends the loop
        const ssize_t n = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// The peer keeps its end open until the reader has closed, so that no close reaches the reader while it
// is being measured.
bool AwaitReaderClose(int fd) {
    char scratch[256];
    for (int pass = 0; pass < kReaderClosePasses; ++pass) {
        const ssize_t n = ::recv(fd, scratch, sizeof scratch, 0);
        if (n == 0) return true;
        // The component's first socket closes with a reset rather than gracefully.
        if (n < 0) return errno == ECONNRESET;
    }
    return false;
}

// Accepts, says nothing for kSilenceMs, then sends one line.
bool ServeSilenceThenLine(int fd) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kSilenceMs));
    return SendAll(fd, "done\r\n", 6) && AwaitReaderClose(fd);
}

// Waits for the reader's one-byte go, then sends the whole stream as fast as the socket takes it: both
// readers start their clock just before the go, so both see the peer sending concurrently from the start.
Peer::Serve StreamServer(const std::string& stream) {
    return [&stream](int fd) {
        char go = 0;
        return ::recv(fd, &go, 1, 0) == 1 && SendAll(fd, stream.data(), stream.size()) &&
               AwaitReaderClose(fd);
    };
}

// ---- Readers ----

// A blocking POSIX connection to a peer, with the same wait limits as the peer's; -1 on failure.
int ConnectPlain(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    SetWaitLimits(fd);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, kLoopback, &addr.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::unique_ptr<Psock::TPowersock> ConnectComponent(int port, int timeOut) {
    auto sock = std::make_unique<Psock::TPowersock>(nullptr);
    sock->SetHost(kLoopback);
    sock->SetPort(port);
    sock->SetTimeOut(timeOut);
    sock->Connect();
    return sock;
}

// The lines every streaming peer sends, back to back: an 8-digit line number, a space, 49 letters that
// shift with the number, CR LF. Readers compare each line they get with its place in this text.
std::string MakeLineStream(std::size_t lines) {
    std::string stream;
    stream.reserve(lines * kLineBytes);
    char number[16];
    for (std::size_t i = 0; i < lines; ++i) {
        std::snprintf(number, sizeof number, "%08zu ", i % 100'000'000);
        stream += number;
        for (std::size_t k = 0; k < kLineBytes - 11; ++k) stream += static_cast<char>('a' + (i + k) % 26);
        stream += "\r\n";
    }
    return stream;
}

bool IsExpectedLine(const std::string& line, const std::string& stream, std::size_t index) {
    return line.size() == kLineBytes &&
           std::memcmp(line.data(), stream.data() + index * kLineBytes, kLineBytes) == 0;
}

// The component's ReadLn loop; returns how many lines came as expected, in order. Not inlined, so that a
// profiler can single it out.
[[gnu::noinline]] std::size_t ReadLinesWithComponent(Psock::TPowersock& sock, const std::string& stream,
                                                     std::size_t lines) {
    std::size_t index = 0;
    while (index < lines && IsExpectedLine(sock.ReadLn(), stream, index)) ++index;
    return index;
}

// A plain buffered reader: receives up to 64 KiB at a time and cuts lines at LF, handing each line out
// as a std::string of its own, as ReadLn does. Returns how many lines came as expected, in order.
[[gnu::noinline]] std::size_t ReadLinesPlain(int fd, const std::string& stream, std::size_t lines) {
    std::vector<char> buffer(kPlainBufferBytes);
    std::size_t begin = 0;
    std::size_t end = 0;
    std::size_t index = 0;
    // Each pass takes a line (at most `lines` of them) or receives at least one byte of a finite stream.
    while (index < lines) {
        const char* start = buffer.data() + begin;
        const auto* lf = static_cast<const char*>(std::memchr(start, '\n', end - begin));
        if (lf) {
            const std::string line(start, lf + 1);
            if (!IsExpectedLine(line, stream, index)) break;
            ++index;
            begin = static_cast<std::size_t>(lf + 1 - buffer.data());
            continue;
        }
        // No whole line left: move the partial one to the front and receive more behind it.
        std::memmove(buffer.data(), start, end - begin);
        end -= begin;
        begin = 0;
        if (end == buffer.size()) break;  // a line longer than the buffer
        const ssize_t n = ::recv(fd, buffer.data() + end, buffer.size() - end, 0);
        if (n <= 0) break;  // closed, failed, or silent past the wait limit
        end += static_cast<std::size_t>(n);
    }
    return index;
}

// ---- Measurements ----

std::optional<CpuShare> MeasureComponentWait() {
    Peer peer(ServeSilenceThenLine);
    auto sock = ConnectComponent(peer.Port(), kComponentTimeOut);
    const CpuSample before = SampleCpu();
    const std::string line = sock->ReadLn();
    const CpuSample after = SampleCpu();
    sock->Disconnect();
    if (!peer.Join() || line != "done\r\n") return std::nullopt;
    return Between(before, after);
}

std::optional<CpuShare> MeasurePlainWait() {
    Peer peer(ServeSilenceThenLine);
    const int fd = ConnectPlain(peer.Port());
    if (fd < 0) return std::nullopt;
    char buffer[6];
    const CpuSample before = SampleCpu();
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_WAITALL);
    const CpuSample after = SampleCpu();
    ::close(fd);
    if (!peer.Join() || n != 6 || std::memcmp(buffer, "done\r\n", 6) != 0) return std::nullopt;
    return Between(before, after);
}

struct LineRun {
    double seconds = 0;
    bool ok = false;
};

void ReportShortRun(const char* reader, std::size_t good, std::size_t lines) {
    if (good < lines)
        std::fprintf(stderr, "%s: line %zu of %zu is missing or not as sent\n", reader, good + 1, lines);
}

LineRun RunComponentLines(const std::string& stream, std::size_t lines, int timeOut) {
    Peer peer(StreamServer(stream));
    auto sock = ConnectComponent(peer.Port(), timeOut);
    const auto start = Clock::now();
    sock->Write("g");
    const std::size_t good = ReadLinesWithComponent(*sock, stream, lines);
    const auto stop = Clock::now();
    sock->Disconnect();
    const bool peerOk = peer.Join();
    ReportShortRun("component", good, lines);
    return {SecondsSince(start, stop), good == lines && peerOk};
}

LineRun RunPlainLines(const std::string& stream, std::size_t lines) {
    Peer peer(StreamServer(stream));
    const int fd = ConnectPlain(peer.Port());
    if (fd < 0) return {};
    const auto start = Clock::now();
    const bool sent = ::send(fd, "g", 1, MSG_NOSIGNAL) == 1;
    const std::size_t good = sent ? ReadLinesPlain(fd, stream, lines) : 0;
    const auto stop = Clock::now();
    ::close(fd);
    const bool peerOk = peer.Join();
    ReportShortRun("plain reader", good, lines);
    return {SecondsSince(start, stop), good == lines && peerOk};
}

// The fastest of the repeated runs of one reader; not ok as soon as one run failed.
struct Best {
    double seconds = 0;
    bool ok = true;

    void Add(const LineRun& run) {
        ok = ok && run.ok;
        if (run.ok && (seconds == 0 || run.seconds < seconds)) seconds = run.seconds;
    }
};

// ---- Report ----

const char* Verdict(bool met) { return met ? "met" : "NOT met"; }

void PrintWaitRow(const char* name, const CpuShare& s) {
    std::printf("  %-22s %8.3f %11.3f %% %12.3f %% %12.1f\n", name, s.wallSec, s.threadPct, s.processPct,
                s.wakeupsPerSec);
}

bool ReportWait() {
    std::printf("1. Processor time while a read waits %.1f s for its line (share of one core)\n",
                kSilenceMs / 1000.0);
    const auto component = MeasureComponentWait();
    const auto plain = MeasurePlainWait();
    if (!component || !plain) {
        std::fprintf(stderr, "wait measurement failed: %s\n", component ? "plain recv" : "component ReadLn");
        return false;
    }
    std::printf("  %-22s %8s %13s %14s %12s\n", "", "wall s", "main thread", "process", "wake-ups/s");
    PrintWaitRow("component ReadLn", *component);
    PrintWaitRow("plain blocking recv", *plain);
    std::printf("  goal: component under 2 %% of one core (process): %s\n\n",
                Verdict(component->processPct < 2.0));
    return true;
}

void PrintRateRow(const char* name, double seconds, std::size_t lines, double plainSeconds) {
    std::printf("  %-26s %9.4f %12.0f %10.3f\n", name, seconds, static_cast<double>(lines) / seconds,
                plainSeconds / seconds);
}

bool ReportLineRate(std::size_t lines, int repeats) {
    std::printf("2. Line rate: %zu lines of %zu bytes (58 characters + CR LF), best of %d\n", lines,
                kLineBytes, repeats);
    const std::string stream = MakeLineStream(lines);
    Best withTimer, withoutTimer, plain;
    // The readers take turns, so that a slow spell of the machine does not fall on one reader only.
    for (int r = 0; r < repeats; ++r) {
        withTimer.Add(RunComponentLines(stream, lines, kComponentTimeOut));
        withoutTimer.Add(RunComponentLines(stream, lines, 0));
        plain.Add(RunPlainLines(stream, lines));
    }
    if (!withTimer.ok || !withoutTimer.ok || !plain.ok) {
        std::fprintf(stderr, "line rate measurement failed\n");
        return false;
    }
    std::printf("  %-26s %9s %12s %10s\n", "", "seconds", "lines/s", "vs plain");
    PrintRateRow("component, TimeOut 10000", withTimer.seconds, lines, plain.seconds);
    PrintRateRow("component, TimeOut 0", withoutTimer.seconds, lines, plain.seconds);
    PrintRateRow("plain buffered recv", plain.seconds, lines, plain.seconds);
    const double perLine = 1e6 / static_cast<double>(lines);
    std::printf("  per line: component %.3f us (TimeOut 10000), %.3f us (TimeOut 0), plain %.3f us\n",
                withTimer.seconds * perLine, withoutTimer.seconds * perLine, plain.seconds * perLine);
    std::printf("  time-out timer: %.3f us per ReadLn\n",
                (withTimer.seconds - withoutTimer.seconds) * perLine);
    std::printf("  goal: component (TimeOut 10000) at least 0.2 of plain: %s\n",
                Verdict(plain.seconds / withTimer.seconds >= 0.2));
    return true;
}

// Only the component's line loop, for a profiler.
bool ProfileComponent(std::size_t lines, int repeats, int timeOut) {
    const std::string stream = MakeLineStream(lines);
    for (int r = 0; r < repeats; ++r) {
        const LineRun run = RunComponentLines(stream, lines, timeOut);
        if (!run.ok) return false;
        std::printf("component, TimeOut %d: %zu lines in %.4f s, %.0f lines/s\n", timeOut, lines, run.seconds,
                    static_cast<double>(lines) / run.seconds);
    }
    return true;
}

struct Options {
    std::size_t lines = 100'000;
    int repeats = 3;
    bool idle = true;
    std::optional<int> profileTimeOut;
};

std::optional<Options> ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--lines" && hasValue) {
            options.lines = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--repeats" && hasValue) {
            options.repeats = std::atoi(argv[++i]);
        } else if (arg == "--profile" && hasValue) {
            options.profileTimeOut = std::atoi(argv[++i]);
        } else if (arg == "--no-idle") {
            options.idle = false;
        } else {
            return std::nullopt;
        }
    }
    if (options.lines == 0 || options.lines > kMaxLines || options.repeats < 1 ||
        options.repeats > kMaxRepeats)
        return std::nullopt;
    return options;
}

bool Run(const Options& options) {
    if (options.profileTimeOut)
        return ProfileComponent(options.lines, options.repeats, *options.profileTimeOut);
    std::printf("Socket component against plain POSIX sockets, peers on %s\n\n", kLoopback);
    if (options.idle && !ReportWait()) return false;
    return ReportLineRate(options.lines, options.repeats);
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = ParseOptions(argc, argv);
    if (!options) {
        std::fprintf(stderr,
                     "usage: psock_bench [--lines N (1..%zu)] [--repeats R (1..%d)] [--no-idle] "
                     "[--profile TIMEOUT_MS]\n",
                     kMaxLines, kMaxRepeats);
        return 2;
    }
    vcl::Application->Initialize();
    bool ok = false;
    try {
        ok = Run(*options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "psock_bench: %s\n", e.what());
    }
    vcl::Application->Finalize();
    return ok ? 0 : 1;
}
