// ftp_connect_bench: how long the upload window's connect sequence takes against the local vsftpd
// (connect, greeting, USER, PASS, CWD memoire, CWD quil, QUIT), done by TNMFTP and by curl in the same run.
//
// curl runs as a child process, so its figure includes a process start. Two more spawned figures put that
// cost apart: /bin/true (fork and exec alone) and `curl --version` (curl's start-up and library loading,
// without any network). curl's own timer (-w %{time_total}) gives its dialogue without the process around
// it; the difference between the curl and `curl --version` figures is printed as a cross-check.
//
// A plain blocking-socket client doing the same dialogue in this process gives the floor set by the server
// and the loopback: what no client can go below.
//
// The rows run round-robin, each timed run after an untimed pause (--settle, 20 ms) that lets the server's
// processes for the previous session go away first. --only runs one client alone, for tracing it.
//
// Reads FTP_VSFTPD_PORT, FTP_USER and FTP_PASS (scripts/servers/with-servers.sh exports them); every
// connection goes to 127.0.0.1. Exits 2 when the environment or an option is wrong, 1 when a dialogue fails.
#include "bench/FtpConnectBench.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/vcl/Forms.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDefaultRuns = 20;
constexpr int kMaxRuns = 1000;
constexpr int kWarmUps = 2;
constexpr int kMaxSettleMs = 1000;
constexpr auto kChildLimit = std::chrono::seconds(15);  // a spawned process taking longer is killed
constexpr int kRawTimeoutMs = 10000;                    // per step of the plain-socket dialogue

struct Settings {
    int port = 0;
    std::string user;
    std::string pass;
    std::string curl = "/usr/bin/curl";
    int runs = kDefaultRuns;
    bool nodelay = false;  // the plain-socket client sets TCP_NODELAY, to show whether it matters
    std::string only;      // one row alone (component, curl or raw), for tracing a single client
    // Untimed pause before each timed run, letting the server's processes for the previous session exit
    // first, so that no row pays for the clean-up of the one before it.
    int settleMs = 20;
};

class Failure : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// ----------------------------------------------------------------------------------- spawned processes ---

// Runs argv with its input and error output on /dev/null, and its standard output on /dev/null or, when out
// is given, in *out; returns the exit status (128+N when killed by signal N).
int Spawn(const std::vector<std::string>& args, std::string* out = nullptr) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int pipeFds[2] = {-1, -1};
    if (out && pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        throw Failure("pipe: " + std::string(std::strerror(errno)));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (out)
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int err = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (out) close(pipeFds[1]);
    if (err != 0) {
        if (out) close(pipeFds[0]);
        throw Failure("cannot start " + args[0] + ": " + std::strerror(err));
    }

    // The wait sleeps on a descriptor of the child, which becomes readable when it exits: no polling loop
    // steals processor time from the child or the server, and a child outliving the limit is killed.
    const int pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidFd < 0) {
        // Without it no wait here would be bounded: the child is stopped instead.
        const int e = errno;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        if (out) close(pipeFds[0]);
        throw Failure("pidfd_open: " + std::string(std::strerror(e)));
    }
    bool killed = false;
    {
        pollfd p{pidFd, POLLIN, 0};
        const int limitMs = static_cast<int>(std::chrono::milliseconds(kChildLimit).count());
        const auto deadline = Clock::now() + kChildLimit;
        int ready;
        do ready = poll(&p, 1, limitMs);
        while (ready < 0 && errno == EINTR && Clock::now() < deadline);
        close(pidFd);
        killed = ready != 1;
    }
    if (killed) kill(pid, SIGKILL);
    int status = 0;
    pid_t r;
    do r = waitpid(pid, &status, 0);
    while (r < 0 && errno == EINTR);
    if (killed || r != pid) {
        if (out) close(pipeFds[0]);
        throw Failure(killed ? args[0] + " did not end within " + std::to_string(kChildLimit.count()) + " s"
                             : "waitpid: " + std::string(std::strerror(errno)));
    }
    if (out) {
        // The child has ended: what it wrote (a few bytes, far below the pipe's capacity) is all there.
        char chunk[256];
        ssize_t n;
        while ((n = read(pipeFds[0], chunk, sizeof chunk)) > 0)
            out->append(chunk, static_cast<std::size_t>(n));
        close(pipeFds[0]);
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

// curl's least dialogue for the same session: -I (--head) on the root with the two CWDs as quote commands
// transfers nothing, so after the login it only sends its own PWD, the two CWDs and, on closing, QUIT.
// Its own timer, written on standard output, runs from the start of the connect to the reply to CWD quil.
std::vector<std::string> CurlArgs(const Settings& s) {
    return {s.curl,         "-s",        "--max-time",
            "10",           "--user",    s.user + ":" + s.pass,
            "-I",           "-Q",        "CWD memoire",
            "-Q",           "CWD quil",  "ftp://127.0.0.1:" + std::to_string(s.port) + "/",
            "-o",           "/dev/null", "-w",
            "%{time_total}"};
}

// Returns curl's own figure for its dialogue, in milliseconds.
double CurlDialogue(const Settings& s) {
    std::string out;
    const int rc = Spawn(CurlArgs(s), &out);
    if (rc != 0) throw Failure("curl exited with " + std::to_string(rc));
    char* end = nullptr;
    const double seconds = std::strtod(out.c_str(), &end);
    if (end == out.c_str() || seconds <= 0) throw Failure("curl wrote no time_total: " + out);
    return seconds * 1000;
}

void SpawnOk(const std::vector<std::string>& args) {
    const int rc = Spawn(args);
    if (rc != 0) throw Failure(args[0] + " exited with " + std::to_string(rc));
}

// -------------------------------------------------------------------------------------- plain sockets ---

class RawClient {
  public:
    explicit RawClient(const Settings& s) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) throw Failure("socket: " + std::string(std::strerror(errno)));
        if (s.nodelay) {
            const int one = 1;
            setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        }
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(s.port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            throw Failure("connect: " + std::string(std::strerror(errno)));
    }
    ~RawClient() { close(fd_); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // Reads one whole reply (continuation lines included) and checks its code.
    void Expect(const char* code) {
        for (;;) {
            const std::size_t eol = buf_.find('\n');
            if (eol != std::string::npos) {
                const std::string line = buf_.substr(0, eol + 1);
                buf_.erase(0, eol + 1);
                if (line.size() >= 4 && line.compare(0, 3, code) == 0 && line[3] == ' ') return;
                if (line.size() >= 4 && line[3] == '-') continue;
                if (!line.empty() && line[0] == ' ') continue;
                throw Failure(std::string("expected ") + code + ", got: " + line);
            }
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, kRawTimeoutMs) != 1) throw Failure(std::string("no reply ") + code);
            char chunk[1024];
            const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) throw Failure(std::string("closed before reply ") + code);
            buf_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    void Send(const std::string& line) {
        const std::string wire = line + "\r\n";
        if (send(fd_, wire.data(), wire.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(wire.size()))
            throw Failure("send: " + std::string(std::strerror(errno)));
    }

  private:
    int fd_ = -1;
    std::string buf_;
};

void RawDialogue(const Settings& s) {
    RawClient c(s);
    c.Expect("220");
    c.Send("USER " + s.user);
    c.Expect("331");
    c.Send("PASS " + s.pass);
    c.Expect("230");
    c.Send("CWD memoire");
    c.Expect("250");
    c.Send("CWD quil");
    c.Expect("250");
    c.Send("QUIT");
    c.Expect("221");
}

// ------------------------------------------------------------------------------------------- the table ---

struct Row {
    std::string name;
    std::function<void()> once;
    std::vector<double> ms;
};

// Round-robin: run i of every row comes before run i+1 of any, so that a change in the machine's load
// during the bench weighs on all rows alike and the differences between medians stay meaningful.
void Measure(std::vector<Row>& rows, int runs, int settleMs) {
    for (int i = 0; i < kWarmUps; ++i)
        for (Row& r : rows) r.once();
    for (int i = 0; i < runs; ++i)
        for (Row& r : rows) {
            if (settleMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(settleMs));
            const auto t0 = Clock::now();
            r.once();
            r.ms.push_back(Ms(Clock::now() - t0));
        }
}

void PrintRow(const std::string& name, double median, std::optional<double> lo, std::optional<double> hi) {
    std::printf("  %-44s %9.3f", name.c_str(), median);
    if (lo && hi) std::printf(" %9.3f %9.3f", *lo, *hi);
    std::printf("\n");
}

void PrintRow(const Row& r) {
    PrintRow(r.name, Median(r.ms), *std::min_element(r.ms.begin(), r.ms.end()),
             *std::max_element(r.ms.begin(), r.ms.end()));
}

std::optional<Settings> ReadSettings(int argc, char** argv) {
    Settings s;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc) {
            s.runs = std::atoi(argv[++i]);
        } else if (a == "--curl" && i + 1 < argc) {
            s.curl = argv[++i];
        } else if (a == "--only" && i + 1 < argc) {
            s.only = argv[++i];
            if (s.only != "component" && s.only != "curl" && s.only != "raw") {
                std::cerr << "ftp_connect_bench: --only takes component, curl or raw\n";
                return std::nullopt;
            }
        } else if (a == "--settle" && i + 1 < argc) {
            s.settleMs = std::atoi(argv[++i]);
            if (s.settleMs < 0 || s.settleMs > kMaxSettleMs) {
                std::cerr << "ftp_connect_bench: --settle takes 0 to " << kMaxSettleMs << " ms\n";
                return std::nullopt;
            }
        } else if (a == "--raw-nodelay") {
            s.nodelay = true;
        } else {
            std::cerr << "usage: ftp_connect_bench [--runs N] [--settle MS] [--curl PATH] [--raw-nodelay] "
                         "[--only component|curl|raw]\n";
            return std::nullopt;
        }
    }
    if (s.runs < 1 || s.runs > kMaxRuns) {
        std::cerr << "ftp_connect_bench: --runs takes 1 to " << kMaxRuns << "\n";
        return std::nullopt;
    }
    const char* port = std::getenv("FTP_VSFTPD_PORT");
    const char* user = std::getenv("FTP_USER");
    const char* pass = std::getenv("FTP_PASS");
    if (!port || !*port || !user || !*user || !pass || !*pass) {
        std::cerr << "ftp_connect_bench: FTP_VSFTPD_PORT, FTP_USER and FTP_PASS must be set: "
                     "run it through bench/ftp-connect-bench.sh\n";
        return std::nullopt;
    }
    s.port = std::atoi(port);
    s.user = user;
    s.pass = pass;
    if (s.port <= 0 || s.port > 65535) {
        std::cerr << "ftp_connect_bench: FTP_VSFTPD_PORT is no port: " << port << "\n";
        return std::nullopt;
    }
    if (access(s.curl.c_str(), X_OK) != 0) {
        std::cerr << "ftp_connect_bench: no curl at " << s.curl << "\n";
        return std::nullopt;
    }
    return s;
}

int Run(const Settings& s) {
    std::vector<double> curlOwn;
    auto component = [&] { ftpbench::ComponentDialogue(s.port, s.user, s.pass); };
    auto curl = [&] { curlOwn.push_back(CurlDialogue(s)); };
    auto curlVersion = [&] { SpawnOk({s.curl, "--version"}); };
    auto binTrue = [] { SpawnOk({"/bin/true"}); };
    auto raw = [&] { RawDialogue(s); };
    std::vector<Row> rows{
        {"TNMFTP Connect..Disconnect", component, {}},
        {"curl -I -Q 'CWD memoire' -Q 'CWD quil'", curl, {}},
        {"curl --version (start-up, no network)", curlVersion, {}},
        {"/bin/true (spawn alone)", binTrue, {}},
        {s.nodelay ? "plain sockets, TCP_NODELAY (floor)" : "plain sockets (floor)", raw, {}},
    };
    if (!s.only.empty()) {
        const Row& r = rows[s.only == "component" ? 0 : s.only == "curl" ? 1 : 4];
        std::vector<Row> one{{r.name, r.once, {}}};
        Measure(one, s.runs, s.settleMs);
        std::printf("  %-44s %9s %9s %9s\n", "", "median ms", "min ms", "max ms");
        PrintRow(one[0]);
        return 0;
    }
    Measure(rows, s.runs, s.settleMs);
    const Row& componentRow = rows[0];
    const Row& curlRow = rows[1];
    const Row& curlVersionRow = rows[2];
    const Row& rawRow = rows[4];
    // curl's own timer for the timed runs only (the warm-up runs come first).
    const Row curlTimer{"curl's own time_total (connect..CWD quil)",
                        {},
                        std::vector<double>(curlOwn.begin() + kWarmUps, curlOwn.end())};

    const double mComponent = Median(componentRow.ms);
    std::printf(
        "ftp_connect_bench: vsftpd on 127.0.0.1:%d, %d runs each after %d warm-up runs, "
        "interleaved, a fresh connection per run\n",
        s.port, s.runs, kWarmUps);
    std::printf("  %-44s %9s %9s %9s\n", "", "median ms", "min ms", "max ms");
    for (const Row& r : rows) PrintRow(r);
    PrintRow(curlTimer);
    PrintRow("curl process - curl --version", Median(curlRow.ms) - Median(curlVersionRow.ms), std::nullopt,
             std::nullopt);
    std::printf("  curl also sends PWD after the login; its time_total ends before its QUIT.\n");
    std::printf("  ratio TNMFTP / curl process:          %6.3f\n", mComponent / Median(curlRow.ms));
    std::printf("  ratio TNMFTP / curl's time_total:     %6.3f\n", mComponent / Median(curlTimer.ms));
    std::printf("  ratio TNMFTP / plain-socket floor:    %6.3f\n", mComponent / Median(rawRow.ms));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    vcl::Application->Initialize();
    const std::optional<Settings> settings = ReadSettings(argc, argv);
    int rc = 2;
    if (settings) {
        try {
            rc = Run(*settings);
        } catch (const std::exception& e) {
            std::cerr << "ftp_connect_bench: dialogue failed: " << e.what() << "\n";
            rc = 1;
        }
    }
    vcl::Application->Finalize();
    return rc;
}
