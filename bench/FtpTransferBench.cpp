// ftp_transfer_bench: bulk transfer through TNMFTP against the local vsftpd, compared with curl moving the
// same file to and from the same server in the same run.
//
// Uploads first, then downloads: for each, one warm-up pair and --runs measured pairs (median reported) of
// one session through TNMFTP and one curl process, taken in turn so that a drift of the machine touches
// both alike. A session is the whole dialogue a user waits for: log-in, CWD memoire, CWD quil, TYPE I,
// PASV, the transfer and QUIT. curl's figure also holds its process start, a few milliseconds against the
// second or so that a large file takes. Every copy is checked for its size, the warm-up's byte for byte.
//
//   throughput   bytes / wall time of the session, MB/s (10^6 bytes per second)
//   CPU          user + system seconds per GiB: getrusage(RUSAGE_SELF) around our session (every thread of
//                this process), the rusage of wait4 for curl's process
//   memory       VmHWM of a fresh process of this program (--peak-child) that logs in and moves one file:
//                the peak resident set should stay small and not grow with the file
//   loopback     one TCP stream over 127.0.0.1 between two threads of this process, plain blocking
//                sockets: the ceiling that the kernel and the machine set for a single connection
//
// Other work on the machine spreads the figures (the load average is shown); the fastest run of each
// client is shown next to the medians as the least disturbed one.
//
// Both the FTP root and the local files should sit on a tmpfs, so that no disk bounds the figures; the
// bench refuses to measure otherwise unless --allow-disk is given.
//
// Reads FTP_VSFTPD_PORT, FTP_USER, FTP_PASS and FTP_ROOT_VSFTPD (scripts/servers/with-servers.sh exports
// them); every connection goes to 127.0.0.1. Exits 2 when the environment is missing, 1 when a transfer
// fails or a copy differs from its source, 0 otherwise (goals missed are reported, not failed).
#include "platform/winsock/PosixNames.h"
// (PosixNames.h first: the system's socket names go out of the way of the component's own.)
#include <fcntl.h>
#include <linux/magic.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "net/ftp/NMFtp.h"
#include "platform/vcl/Forms.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::int64_t kMiB = std::int64_t{1} << 20;
constexpr std::int64_t kGiB = std::int64_t{1} << 30;
constexpr int kDefaultRuns = 5;
constexpr int kMaxRuns = 50;
constexpr int kDefaultSizeMiB = 1024;
constexpr int kDefaultSmallMiB = 100;
constexpr int kMaxSizeMiB = 8192;
constexpr int kLoopbackRuns = 3;
constexpr int kComponentTimeOutMs = 30000;               // any single wait of the component
constexpr int kCurlMaxTimeS = 120;                       // curl's own hard limit per transfer
constexpr auto kChildLimit = std::chrono::seconds(150);  // a spawned process taking longer is killed
constexpr auto kDefaultBudget = std::chrono::seconds(150);

// Goals the figures are held against.
constexpr double kThroughputGoal = 1.0;  // ours / curl, at least
constexpr double kCpuGoal = 1.2;         // ours / curl, at most
constexpr double kPeakGoalMiB = 20.0;    // peak resident set of a process moving one file, below

struct Settings {
    int port = 0;
    std::string user;
    std::string pass;
    fs::path root;  // the server's FTP root, as seen from here
    std::string curl = "/usr/bin/curl";
    fs::path localDir = "/dev/shm";
    std::int64_t size = kDefaultSizeMiB * kMiB;
    std::int64_t smallSize = kDefaultSmallMiB * kMiB;
    int runs = kDefaultRuns;
    bool allowDisk = false;
    bool pin = false;
    Clock::duration budget = kDefaultBudget;
};

// ------------------------------------------------------------------------------------------------ files ---

// Fills a file with bytes that differ from block to block, so that a lost or doubled block changes the copy.
void WritePattern(const fs::path& p, std::int64_t size, std::uint64_t seed) {
    constexpr std::size_t kBlock = 1 << 20;
    std::vector<std::uint64_t> block(kBlock / 8);
    const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("cannot create " + p.string() + ": " + std::strerror(errno));
    std::uint64_t x = seed | 1;
    for (std::int64_t done = 0; done < size;) {
        for (auto& word : block) {  // xorshift64
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            word = x;
        }
        const auto n = static_cast<std::size_t>(std::min<std::int64_t>(kBlock, size - done));
        if (::write(fd, block.data(), n) != static_cast<ssize_t>(n)) {
            ::close(fd);
            throw std::runtime_error("cannot write " + p.string());
        }
        done += static_cast<std::int64_t>(n);
    }
    ::close(fd);
}

std::int64_t SizeOf(const fs::path& p) {
    std::error_code ec;
    const auto n = fs::file_size(p, ec);
    return ec ? -1 : static_cast<std::int64_t>(n);
}

// A read-only mapping of a whole file (empty files map to nothing).
class Mapping {
  public:
    explicit Mapping(const fs::path& p) {
        const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) throw std::runtime_error("cannot open " + p.string() + ": " + std::strerror(errno));
        struct stat st {};
        ::fstat(fd, &st);
        FSize = static_cast<std::size_t>(st.st_size);
        if (FSize > 0) FData = ::mmap(nullptr, FSize, PROT_READ, MAP_PRIVATE, fd, 0);
        ::close(fd);
        if (FData == MAP_FAILED) throw std::runtime_error("cannot map " + p.string());
    }
    ~Mapping() {
        if (FData && FData != MAP_FAILED) ::munmap(FData, FSize);
    }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    const void* Data() const { return FData; }
    std::size_t Size() const { return FSize; }

  private:
    void* FData = nullptr;
    std::size_t FSize = 0;
};

// Throws when the copy is not the same size as the source, or (full) not the same bytes.
void CheckCopy(const fs::path& source, const fs::path& copy, bool full, const std::string& what) {
    const std::int64_t want = SizeOf(source), got = SizeOf(copy);
    if (got != want)
        throw std::runtime_error(what + ": " + copy.string() + " holds " + std::to_string(got) +
                                 " bytes, the source " + std::to_string(want));
    if (!full) return;
    const Mapping a(source), b(copy);
    if (a.Size() > 0 && std::memcmp(a.Data(), b.Data(), a.Size()) != 0)
        throw std::runtime_error(what + ": " + copy.string() + " differs from " + source.string());
}

// The one-minute load average: other work on the machine takes processor time from both clients alike,
// but spreads the figures; it is shown with them.
std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one;
    return in >> one ? one : "?";
}

bool OnTmpfs(const fs::path& p) {
    struct statfs st {};
    return ::statfs(p.c_str(), &st) == 0 && st.f_type == TMPFS_MAGIC;
}

// Removes the folder and all it holds when the bench ends, however it ends.
struct ScratchDir {
    fs::path path;
    ~ScratchDir() {
        std::error_code ec;
        if (!path.empty()) fs::remove_all(path, ec);
    }
};

// -------------------------------------------------------------------------------------------- figures ---

struct Sample {
    double wall = 0;  // seconds
    double cpu = 0;   // user + system seconds
};

double Seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}
double CpuOf(const rusage& r) { return Seconds(r.ru_utime) + Seconds(r.ru_stime); }

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

std::string Fixed(double v, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

// ------------------------------------------------------------------------------------------ processes ---

struct ChildResult {
    int status = -1;  // as from wait4
    rusage usage{};
    double wall = 0;
    std::string out;  // what the child wrote to its standard output
};

// Runs argv[0] (a path) with this environment; waits at most kChildLimit, then kills it.
ChildResult RunChild(const std::vector<std::string>& args, bool captureOut) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int pipeFds[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (captureOut) {
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    }
    ChildResult result;
    pid_t pid = 0;
    const auto start = Clock::now();
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (captureOut) ::close(pipeFds[1]);
    if (rc != 0) {
        if (captureOut) ::close(pipeFds[0]);
        throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(rc));
    }
    // Polled rather than blocked on, so that a stuck child is killed after kChildLimit; 2 ms steps cost
    // next to nothing against transfers of seconds.
    bool killed = false;
    for (;;) {
        const pid_t done = ::wait4(pid, &result.status, WNOHANG, &result.usage);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) throw std::runtime_error("wait4 failed");
        if (!killed && Clock::now() - start > kChildLimit) {
            ::kill(pid, SIGKILL);
            killed = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    result.wall = std::chrono::duration<double>(Clock::now() - start).count();
    if (captureOut) {
        char buffer[4096];
        for (int i = 0; i < 64; ++i) {  // a few lines at most
            const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
            if (n <= 0) break;
            result.out.append(buffer, static_cast<std::size_t>(n));
        }
        ::close(pipeFds[0]);
    }
    if (killed) throw std::runtime_error(args[0] + " ran too long and was killed");
    return result;
}

bool ExitedZero(const ChildResult& r) { return WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0; }

// ------------------------------------------------------------------------------------------- pinning ---

// --pin: this process (every thread, and the curl and fresh processes it starts) keeps to one processor
// and vsftpd (its listener, and so every session it forks) to another; both sides are put back as they
// were when this ends. It takes the scheduler's placement out of the figures, but it also confines our
// client's helper threads to the processor of its main thread, which curl (one thread) does not feel:
// a view of how the component fares with one processor of its own, not the default.
class Pinning {
  public:
    // Empty when pinned; otherwise why not.
    std::string Apply() {
        if (::sched_getaffinity(0, sizeof FOwnMask, &FOwnMask) != 0) return "cannot read this process's CPUs";
        int cpus[2] = {-1, -1};
        for (int cpu = 0, found = 0; cpu < CPU_SETSIZE && found < 2; ++cpu)
            if (CPU_ISSET(cpu, &FOwnMask)) cpus[found++] = cpu;
        if (cpus[1] < 0) return "only one processor";
        const char* state = std::getenv("FTP_STATE_DIR");
        if (!state) return "FTP_STATE_DIR is not set";
        std::ifstream pidFile(fs::path(state) / "pids" / "vsftpd.pid");
        long pid = 0;
        if (!(pidFile >> pid) || pid <= 0) return "no vsftpd pid in " + std::string(state);
        std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
        std::string name;
        if (!(comm >> name) || name != "vsftpd") return "process " + std::to_string(pid) + " is not vsftpd";
        if (::sched_getaffinity(static_cast<pid_t>(pid), sizeof FServerMask, &FServerMask) != 0)
            return "cannot read vsftpd's CPUs";
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpus[1], &one);
        if (::sched_setaffinity(static_cast<pid_t>(pid), sizeof one, &one) != 0)
            return std::string("cannot pin vsftpd: ") + std::strerror(errno);
        FServer = static_cast<pid_t>(pid);
        CPU_ZERO(&one);
        CPU_SET(cpus[0], &one);
        if (!SetAllThreads(one)) {
            Release();
            return "cannot pin this process";
        }
        FPinned = true;
        FCpus[0] = cpus[0];
        FCpus[1] = cpus[1];
        FDescription =
            "client on CPU " + std::to_string(cpus[0]) + ", vsftpd on CPU " + std::to_string(cpus[1]);
        return "";
    }
    // Puts both sides back on the processors they had.
    void Release() {
        if (FServer > 0) ::sched_setaffinity(FServer, sizeof FServerMask, &FServerMask);
        FServer = 0;
        if (FPinned) SetAllThreads(FOwnMask);
        FPinned = false;
    }
    ~Pinning() { Release(); }
    const std::string& Description() const { return FDescription; }
    // The client's and the server's processor while pinned, -1 otherwise.
    int ClientCpu() const { return FCpus[0]; }
    int ServerCpu() const { return FCpus[1]; }

  private:
    // sched_setaffinity acts on one thread: every thread of this process is set, one by one.
    static bool SetAllThreads(const cpu_set_t& mask) {
        std::error_code ec;
        int threads = 0;
        for (const auto& task : fs::directory_iterator("/proc/self/task", ec)) {
            if (++threads > 1000) return false;
            const pid_t tid = static_cast<pid_t>(std::atol(task.path().filename().c_str()));
            if (tid > 0 && ::sched_setaffinity(tid, sizeof mask, &mask) != 0) return false;
        }
        return !ec && threads > 0;
    }

    cpu_set_t FOwnMask{};
    cpu_set_t FServerMask{};
    pid_t FServer = 0;
    bool FPinned = false;
    int FCpus[2] = {-1, -1};
    std::string FDescription;
};

// --------------------------------------------------------------------------------------- our sessions ---

std::unique_ptr<NMFtp::TNMFTP> MakeClient(const Settings& s) {
    auto ftp = std::make_unique<NMFtp::TNMFTP>(nullptr);
    ftp->SetHost("127.0.0.1");
    ftp->SetPort(s.port);
    ftp->SetTimeOut(kComponentTimeOutMs);
    ftp->SetUserID(s.user);
    ftp->SetPassword(s.pass);
    ftp->SetPassive(true);
    return ftp;
}

void LogIn(NMFtp::TNMFTP& ftp) {
    ftp.Connect();
    ftp.ChangeDir("memoire");
    ftp.ChangeDir("quil");
    ftp.Mode(2);
}

// One whole session through the component: log-in, the transfer, QUIT.
Sample OurSession(const Settings& s, bool upload, const fs::path& local, const std::string& remote) {
    auto ftp = MakeClient(s);
    rusage before{}, after{};
    ::getrusage(RUSAGE_SELF, &before);
    const auto start = Clock::now();
    LogIn(*ftp);
    if (upload)
        ftp->Upload(local.string(), remote);
    else
        ftp->Download(remote, local.string());
    ftp->Disconnect();
    const auto stop = Clock::now();
    ::getrusage(RUSAGE_SELF, &after);
    return {std::chrono::duration<double>(stop - start).count(), CpuOf(after) - CpuOf(before)};
}

void DeleteRemote(const Settings& s, const std::string& remote) {
    auto ftp = MakeClient(s);
    LogIn(*ftp);
    ftp->Delete(remote);
    ftp->Disconnect();
}

// ------------------------------------------------------------------------------------ curl's sessions ---

std::string Url(const Settings& s, const std::string& remote) {
    return "ftp://127.0.0.1:" + std::to_string(s.port) + "/memoire/quil/" + remote;
}

Sample CurlSession(const Settings& s, bool upload, const fs::path& local, const std::string& remote) {
    std::vector<std::string> args = {s.curl,
                                     "-sS",
                                     "--disable-epsv",
                                     "--max-time",
                                     std::to_string(kCurlMaxTimeS),
                                     "-u",
                                     s.user + ":" + s.pass};
    if (upload) {
        args.insert(args.end(), {"-T", local.string(), Url(s, remote)});
    } else {
        args.insert(args.end(), {"-o", local.string(), Url(s, remote)});
    }
    const ChildResult r = RunChild(args, false);
    if (!ExitedZero(r))
        throw std::runtime_error(std::string("curl ") + (upload ? "upload" : "download") +
                                 " failed (status " + std::to_string(r.status) + ")");
    return {r.wall, CpuOf(r.usage)};
}

// --------------------------------------------------------------------------------------- peak memory ---

std::int64_t StatusKiB(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(in, line))
        if (line.compare(0, key.size(), key) == 0)
            return std::strtoll(line.c_str() + key.size(), nullptr, 10);
    return -1;
}

// In a fresh process: log in, note the peak so far, move one file, note the peak again. Prints
// "<peak before transfer KiB> <peak after KiB>" on standard output.
int PeakChild(const Settings& s, const std::string& direction, const fs::path& local,
              const std::string& remote) {
    auto ftp = MakeClient(s);
    LogIn(*ftp);
    const std::int64_t before = StatusKiB("VmHWM");
    if (direction == "upload")
        ftp->Upload(local.string(), remote);
    else
        ftp->Download(remote, local.string());
    const std::int64_t after = StatusKiB("VmHWM");
    ftp->Disconnect();
    std::cout << before << " " << after << std::endl;
    return 0;
}

struct Peak {
    double beforeMiB = 0;  // after start-up and log-in
    double peakMiB = 0;    // after the transfer
};

Peak MeasurePeak(const std::string& direction, const fs::path& local, const std::string& remote) {
    const std::vector<std::string> args = {fs::read_symlink("/proc/self/exe").string(), "--peak-child",
                                           direction, local.string(), remote};
    const ChildResult r = RunChild(args, true);
    long long before = -1, after = -1;
    if (!ExitedZero(r) || std::sscanf(r.out.c_str(), "%lld %lld", &before, &after) != 2 || before < 0 ||
        after < 0)
        throw std::runtime_error("the " + direction + " in a fresh process failed (status " +
                                 std::to_string(r.status) + ")");
    return {static_cast<double>(before) / 1024, static_cast<double>(after) / 1024};
}

// ---------------------------------------------------------------------------------------- loopback ---

// Keeps the calling thread to one processor (none: -1, left free).
void PinThisThread(int cpu) {
    if (cpu < 0) return;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    ::sched_setaffinity(0, sizeof one, &one);
}

// One TCP stream over 127.0.0.1, a sender and a receiver thread, plain blocking sockets with 128 KiB
// writes and reads; each thread on the given processor (-1: any). Returns MB/s.
double LoopbackOnce(std::int64_t bytes, int senderCpu, int receiverCpu) {
    const int listener = ::socket(posix::kAfInet, posix::kSockStream | SOCK_CLOEXEC, 0);
    if (listener < 0) throw std::runtime_error("socket failed");
    sockaddr_in addr{};
    addr.sin_family = posix::kAfInet;
    addr.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(listener);
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    const int out = ::socket(posix::kAfInet, posix::kSockStream | SOCK_CLOEXEC, 0);
    timeval limit{30, 0};  // a stalled stream ends the measure instead of hanging it
    ::setsockopt(out, posix::kSolSocket, SO_SNDTIMEO, &limit, sizeof limit);
    if (out < 0 || ::connect(out, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(listener);
        if (out >= 0) ::close(out);
        throw std::runtime_error("cannot connect to 127.0.0.1");
    }
    const int in = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(listener);
    if (in < 0) {
        ::close(out);
        throw std::runtime_error("accept failed");
    }
    ::setsockopt(in, posix::kSolSocket, SO_RCVTIMEO, &limit, sizeof limit);
    constexpr std::size_t kChunk = 128 * 1024;
    std::int64_t received = 0;
    const auto start = Clock::now();
    std::thread receiver([&] {
        PinThisThread(receiverCpu);
        std::vector<char> buffer(kChunk);
        while (received < bytes) {
            const ssize_t n = ::recv(in, buffer.data(), kChunk, 0);
            if (n <= 0) break;
            received += n;
        }
    });
    std::thread sender([&] {
        PinThisThread(senderCpu);
        std::vector<char> buffer(kChunk, 'x');
        std::int64_t sent = 0;
        while (sent < bytes) {
            const ssize_t n =
                ::send(out, buffer.data(),
                       static_cast<std::size_t>(std::min<std::int64_t>(kChunk, bytes - sent)), MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += n;
        }
    });
    sender.join();
    receiver.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ::close(out);
    ::close(in);
    if (received != bytes) throw std::runtime_error("the loopback stream stopped early");
    return static_cast<double>(bytes) / 1e6 / seconds;
}

// ------------------------------------------------------------------------------------------ settings ---

// A missing or unusable environment, or a wrong command line: exit status 2, not a failed transfer.
class EnvironmentError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void Usage(const std::string& why) { throw EnvironmentError(why); }

constexpr const char* kUsage =
    "usage: ftp_transfer_bench [--curl PATH] [--runs N] [--size-mib N] [--small-mib N]\n"
    "                          [--local-dir DIR] [--budget-s N] [--allow-disk] [--pin]\n";

int PositiveArg(const std::string& name, const char* value, int most) {
    char* end = nullptr;
    const long v = std::strtol(value, &end, 10);
    if (*end != '\0' || v < 1 || v > most) Usage(name + " takes a number from 1 to " + std::to_string(most));
    return static_cast<int>(v);
}

// Reads the options (from argv[first] on) and the environment; the remaining words go to `rest`.
Settings ReadSettings(int argc, char** argv, int first, std::vector<std::string>& rest) {
    Settings s;
    for (int i = first; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) Usage(a + " needs a value");
            return argv[++i];
        };
        if (a == "--curl") {
            s.curl = value();
        } else if (a == "--runs") {
            s.runs = PositiveArg(a, value(), kMaxRuns);
        } else if (a == "--size-mib") {
            s.size = PositiveArg(a, value(), kMaxSizeMiB) * kMiB;
        } else if (a == "--small-mib") {
            s.smallSize = PositiveArg(a, value(), kMaxSizeMiB) * kMiB;
        } else if (a == "--local-dir") {
            s.localDir = value();
        } else if (a == "--budget-s") {
            s.budget = std::chrono::seconds(PositiveArg(a, value(), 3600));
        } else if (a == "--pin") {
            s.pin = true;
        } else if (a == "--allow-disk") {
            s.allowDisk = true;
        } else if (a.rfind("--", 0) == 0) {
            Usage("unknown option " + a);
        } else {
            rest.push_back(a);
        }
    }
    const char* port = std::getenv("FTP_VSFTPD_PORT");
    const char* user = std::getenv("FTP_USER");
    const char* pass = std::getenv("FTP_PASS");
    const char* root = std::getenv("FTP_ROOT_VSFTPD");
    if (!port || !user || !pass || !root || !*port || !*user || !*root)
        Usage(
            "FTP_VSFTPD_PORT, FTP_USER, FTP_PASS and FTP_ROOT_VSFTPD must be set: "
            "run it through bench/ftp-transfer-bench.sh");
    s.port = std::atoi(port);
    s.user = user;
    s.pass = pass;
    s.root = root;
    return s;
}

// ---------------------------------------------------------------------------------------------- main ---

struct Series {
    std::vector<double> mbps;
    std::vector<double> cpuPerGiB;
    void Add(const Sample& x, std::int64_t bytes) {
        mbps.push_back(static_cast<double>(bytes) / 1e6 / x.wall);
        cpuPerGiB.push_back(x.cpu / (static_cast<double>(bytes) / static_cast<double>(kGiB)));
    }
};

std::string Verdict(bool met) { return met ? "met" : "MISSED"; }

int Bench(const Settings& s) {
    if (access(s.curl.c_str(), X_OK) != 0) Usage("curl not found at " + s.curl);
    const fs::path serverDir = s.root / "memoire" / "quil";
    if (!fs::is_directory(serverDir)) Usage(serverDir.string() + " is not a folder");
    const bool serverTmpfs = OnTmpfs(serverDir), localTmpfs = OnTmpfs(s.localDir);
    if (!s.allowDisk && (!serverTmpfs || !localTmpfs))
        Usage(std::string(!serverTmpfs ? "the FTP root " + s.root.string()
                                       : "the local folder " + s.localDir.string()) +
              " is not on a tmpfs (run with TMPDIR=/dev/shm, or give --allow-disk)");

    ScratchDir scratch;
    std::string pattern = (s.localDir / "ftp-transfer-bench.XXXXXX").string();
    if (!::mkdtemp(pattern.data())) Usage("cannot make a folder in " + s.localDir.string());
    scratch.path = pattern;
    const fs::path big = scratch.path / "big.bin", small = scratch.path / "small.bin";
    const fs::path back = scratch.path / "back.bin";
    const auto benchStart = Clock::now();
    WritePattern(big, s.size, 0x5EED0001);
    WritePattern(small, s.smallSize, 0x5EED0002);

    Pinning pinning;
    const std::string notPinned = s.pin ? pinning.Apply() : "no --pin";
    std::cout << "ftp_transfer_bench: vsftpd on 127.0.0.1:" << s.port << ", file " << s.size / kMiB
              << " MiB, FTP root " << (serverTmpfs ? "on tmpfs" : "NOT on tmpfs") << ", local files "
              << (localTmpfs ? "on tmpfs" : "NOT on tmpfs") << " (" << scratch.path.string() << ")\n"
              << "  " << (notPinned.empty() ? "pinned: " + pinning.Description() : "not pinned: " + notPinned)
              << "; load average " << LoadAverage() << " on " << std::thread::hardware_concurrency()
              << " CPUs\n";

    // The file every download fetches, placed by our client; its copy on the server is checked byte for byte.
    const std::string source = "source.bin";
    OurSession(s, true, big, source);
    CheckCopy(big, serverDir / source, true, "upload of the download source");

    // The four sessions, each checking its copy and removing it again (on the server, or here).
    auto ourUpload = [&](bool fullCheck) {
        const Sample x = OurSession(s, true, big, "up-ours.bin");
        CheckCopy(big, serverDir / "up-ours.bin", fullCheck, "our upload");
        DeleteRemote(s, "up-ours.bin");
        return x;
    };
    auto curlUpload = [&] {
        const Sample x = CurlSession(s, true, big, "up-curl.bin");
        CheckCopy(big, serverDir / "up-curl.bin", false, "curl's upload");
        DeleteRemote(s, "up-curl.bin");
        return x;
    };
    auto ourDownload = [&](bool fullCheck) {
        const Sample x = OurSession(s, false, back, source);
        CheckCopy(big, back, fullCheck, "our download");
        fs::remove(back);
        return x;
    };
    auto curlDownload = [&] {
        const Sample x = CurlSession(s, false, back, source);
        CheckCopy(big, back, false, "curl's download");
        fs::remove(back);
        return x;
    };
    auto mbps = [&](const Sample& x) { return Fixed(static_cast<double>(s.size) / 1e6 / x.wall, 0); };
    auto show = [&](const std::string& name, const Sample& ours, const Sample& theirs) {
        std::cout << "  " << name << ": MB/s ours " << mbps(ours) << " curl " << mbps(theirs)
                  << "; CPU s ours " << Fixed(ours.cpu, 2) << " curl " << Fixed(theirs.cpu, 2) << "\n";
    };

    // An upload right after downloads came out slower for whichever client went first, so all uploads
    // are taken in a row, then all downloads. Each direction starts with one pair that counts for nothing but
    // its byte-for-byte checks, and within a pair curl goes first every other time, so that an order effect
    // cancels out.
    Series oursUp, curlUp, oursDown, curlDown;
    const auto measureStart = Clock::now();
    auto pairs = [&](const char* what, const std::function<Sample(bool)>& ours,
                     const std::function<Sample()>& theirs, Series& oursSeries, Series& theirsSeries,
                     Clock::duration budget) {
        int done = 0;
        const auto start = Clock::now();
        for (int run = -1; run < s.runs; ++run) {
            const auto pairStart = Clock::now();
            Sample o, t;
            if (run % 2 == 0) {
                o = ours(run < 0);
                t = theirs();
            } else {
                t = theirs();
                o = ours(run < 0);
            }
            show(std::string(what) + (run < 0 ? " warm-up" : " run " + std::to_string(run + 1)), o, t);
            if (run < 0) continue;
            oursSeries.Add(o, s.size);
            theirsSeries.Add(t, s.size);
            ++done;
            // Stop early rather than run past this direction's share of the budget.
            const auto pairTime = Clock::now() - pairStart;
            if (run + 1 < s.runs && Clock::now() + 2 * pairTime - start > budget) {
                std::cout << "  (" << what << ": stopping after " << done
                          << " runs, the time budget is spent)\n";
                break;
            }
        }
        return done;
    };
    const auto left = s.budget - (measureStart - benchStart);
    const int upRuns = pairs("upload", ourUpload, curlUpload, oursUp, curlUp, left / 2);
    const int downRuns = pairs("download", ourDownload, curlDownload, oursDown, curlDown,
                               s.budget - (Clock::now() - benchStart));
    const int runs = std::min(upRuns, downRuns);

    const Peak upBig = MeasurePeak("upload", big, "peak-big.bin");
    CheckCopy(big, serverDir / "peak-big.bin", false, "upload in a fresh process");
    DeleteRemote(s, "peak-big.bin");
    const Peak upSmall = MeasurePeak("upload", small, "peak-small.bin");
    CheckCopy(small, serverDir / "peak-small.bin", false, "upload in a fresh process");
    DeleteRemote(s, "peak-small.bin");
    const Peak downBig = MeasurePeak("download", back, source);
    CheckCopy(big, back, false, "download in a fresh process");
    fs::remove(back);
    DeleteRemote(s, source);

    // The loopback stream's two threads sit where the client and the server sat (anywhere, unpinned).
    const int senderCpu = pinning.ClientCpu(), receiverCpu = pinning.ServerCpu();
    pinning.Release();
    std::vector<double> loopback;
    for (int i = 0; i < kLoopbackRuns; ++i) loopback.push_back(LoopbackOnce(s.size, senderCpu, receiverCpu));

    const double upRatio = Median(oursUp.mbps) / Median(curlUp.mbps);
    const double downRatio = Median(oursDown.mbps) / Median(curlDown.mbps);
    const double upCpuRatio = Median(oursUp.cpuPerGiB) / Median(curlUp.cpuPerGiB);
    const double downCpuRatio = Median(oursDown.cpuPerGiB) / Median(curlDown.cpuPerGiB);

    std::cout << "\nmedian of " << runs << " runs; one run = one whole session (log-in, CWD, TYPE I, PASV, "
              << "transfer, QUIT); MB = 10^6 bytes\n\n";
    std::printf("%-10s %10s %10s %10s   %14s %14s %10s\n", "", "ours MB/s", "curl MB/s", "ours/curl",
                "ours CPU s/GiB", "curl CPU s/GiB", "ours/curl");
    auto row = [](const char* name, const Series& o, const Series& c, double ratio, double cpuRatio) {
        std::printf("%-10s %10.0f %10.0f %10.2f   %14.3f %14.3f %10.2f\n", name, Median(o.mbps),
                    Median(c.mbps), ratio, Median(o.cpuPerGiB), Median(c.cpuPerGiB), cpuRatio);
    };
    row("upload", oursUp, curlUp, upRatio, upCpuRatio);
    row("download", oursDown, curlDown, downRatio, downCpuRatio);
    // The fastest run is the one least disturbed by anything else on the machine.
    auto best = [](const Series& x) { return *std::max_element(x.mbps.begin(), x.mbps.end()); };
    std::printf("%-10s %10.0f %10.0f %10.2f   (fastest upload of each)\n", "best up", best(oursUp),
                best(curlUp), best(oursUp) / best(curlUp));
    std::printf("%-10s %10.0f %10.0f %10.2f   (fastest download of each)\n", "best down", best(oursDown),
                best(curlDown), best(oursDown) / best(curlDown));

    std::printf("\npeak resident memory of a fresh process (VmHWM)   after log-in   after transfer\n");
    auto peakRow = [](const std::string& name, const Peak& p) {
        std::printf("  %-46s %9.1f MiB %12.1f MiB\n", name.c_str(), p.beforeMiB, p.peakMiB);
    };
    peakRow("upload " + std::to_string(s.size / kMiB) + " MiB", upBig);
    peakRow("upload " + std::to_string(s.smallSize / kMiB) + " MiB", upSmall);
    peakRow("download " + std::to_string(s.size / kMiB) + " MiB", downBig);

    std::printf(
        "\nraw loopback TCP, one stream, two threads%s, 128 KiB reads and writes: %.0f MB/s (median of %d)\n",
        senderCpu >= 0 ? " on the client's and the server's CPU" : "", Median(loopback), kLoopbackRuns);

    double growth = upBig.peakMiB - upSmall.peakMiB;
    if (std::abs(growth) < 0.05) growth = 0;  // no "-0.0"
    std::cout << "\ngoals\n"
              << "  throughput ours/curl >= " << Fixed(kThroughputGoal, 1) << ": upload " << Fixed(upRatio, 2)
              << " " << Verdict(upRatio >= kThroughputGoal) << ", download " << Fixed(downRatio, 2) << " "
              << Verdict(downRatio >= kThroughputGoal) << "\n"
              << "  CPU ours/curl <= " << Fixed(kCpuGoal, 1) << ": upload " << Fixed(upCpuRatio, 2) << " "
              << Verdict(upCpuRatio <= kCpuGoal) << ", download " << Fixed(downCpuRatio, 2) << " "
              << Verdict(downCpuRatio <= kCpuGoal) << "\n"
              << "  upload peak < " << Fixed(kPeakGoalMiB, 0) << " MiB: " << Fixed(upBig.peakMiB, 1)
              << " MiB " << Verdict(upBig.peakMiB < kPeakGoalMiB) << "; growth from " << s.smallSize / kMiB
              << " to " << s.size / kMiB << " MiB: " << Fixed(growth, 1) << " MiB " << Verdict(growth < 1.0)
              << "\n"
              << "  load average at the end " << LoadAverage() << "; total time "
              << Fixed(std::chrono::duration<double>(Clock::now() - benchStart).count(), 0) << " s\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    vcl::Application->Initialize();
    int rc = 0;
    try {
        std::vector<std::string> rest;
        if (argc >= 2 && std::string(argv[1]) == "--peak-child") {
            const Settings s = ReadSettings(argc, argv, 2, rest);
            if (rest.size() != 3 || (rest[0] != "upload" && rest[0] != "download"))
                Usage("--peak-child takes upload|download LOCAL REMOTE");
            rc = PeakChild(s, rest[0], rest[1], rest[2]);
        } else {
            const Settings s = ReadSettings(argc, argv, 1, rest);
            if (!rest.empty()) Usage("unexpected argument " + rest.front());
            rc = Bench(s);
        }
    } catch (const EnvironmentError& e) {
        std::cerr << "ftp_transfer_bench: " << e.what() << "\n" << kUsage;
        rc = 2;
    } catch (const vcl::Exception& e) {
        std::cerr << "ftp_transfer_bench: " << e.Message() << "\n";
        rc = 1;
    } catch (const std::exception& e) {
        std::cerr << "ftp_transfer_bench: " << e.what() << "\n";
        rc = 1;
    }
    vcl::Application->Finalize();
    return rc;
}
