#include "support/ScriptedPeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <stdexcept>

namespace testsupport {

namespace {

constexpr size_t kMaxLine = 64 * 1024;

std::runtime_error SystemError(const std::string& what) {
    return std::runtime_error("ScriptedPeer: " + what + ": " + std::strerror(errno));
}

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

uint16_t LocalPort(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) throw SystemError("getsockname");
    return ntohs(addr.sin_port);
}

// Quotes bytes for a message, escaping control characters and cutting long payloads short.
std::string Quote(std::string_view s, size_t limit = 80) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size() && i < limit; ++i) {
        const auto ch = static_cast<unsigned char>(s[i]);
        if (ch == '\r') {
            out += "\\r";
        } else if (ch == '\n') {
            out += "\\n";
        } else if (ch == '"' || ch == '\\') {
            out += '\\';
            out += static_cast<char>(ch);
        } else if (ch < 0x20 || ch >= 0x7f) {
            static const char kHex[] = "0123456789abcdef";
            out += "\\x";
            out += kHex[ch >> 4];
            out += kHex[ch & 0xf];
        } else {
            out += static_cast<char>(ch);
        }
    }
    out += '"';
    if (s.size() > limit) out += "... (" + std::to_string(s.size()) + " bytes)";
    return out;
}

}  // namespace

ScriptedPeer::ScriptedPeer() { Listen(0); }

ScriptedPeer::ScriptedPeer(uint16_t port) { Listen(port); }

ScriptedPeer::~ScriptedPeer() { Stop(); }

void ScriptedPeer::Listen(uint16_t port) {
    if (pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) throw SystemError("pipe2");
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) {
        const auto error = SystemError("socket");
        Stop();
        throw error;
    }
    const int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in addr = Loopback(port);
    if (bind(listen_fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listen_fd_, 8) != 0) {
        const auto error = SystemError("cannot listen on 127.0.0.1:" + std::to_string(port));
        Stop();
        throw error;
    }
    port_ = LocalPort(listen_fd_);
}

uint16_t ScriptedPeer::UnusedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw SystemError("socket");
    const sockaddr_in addr = Loopback(0);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        const auto error = SystemError("bind");
        close(fd);
        throw error;
    }
    const uint16_t port = LocalPort(fd);
    close(fd);
    return port;
}

ScriptedPeer& ScriptedPeer::SetStepTimeout(int ms) {
    step_timeout_ms_ = ms;
    return *this;
}

// ---- Steps ----

ScriptedPeer& ScriptedPeer::Add(std::string name, std::function<bool()> run) {
    steps_.push_back({std::move(name), std::move(run)});
    return *this;
}

ScriptedPeer& ScriptedPeer::Accept() {
    return Add("Accept()", [this] {
        const auto deadline = StepDeadline();
        for (;;) {
            const Io ready = WaitFor(listen_fd_, POLLIN, deadline);
            if (ready != Io::kOk) return Fail("waiting for a connection: " + Describe(ready));
            const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0) {
                // Replies are small and often timed; do not let Nagle hold them back.
                const int one = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                connections_.push_back({fd, {}});
                current_ = static_cast<int>(connections_.size()) - 1;
                return true;
            }
            // The pending connection may have gone away between poll() and accept(): wait again.
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
                last_errno_ = errno;
                return Fail("accept: " + Describe(Io::kError));
            }
        }
    });
}

ScriptedPeer& ScriptedPeer::Expect(std::string line) { return AddExpect(std::move(line), false); }

ScriptedPeer& ScriptedPeer::ExpectPrefix(std::string prefix) { return AddExpect(std::move(prefix), true); }

ScriptedPeer& ScriptedPeer::AddExpect(std::string want, bool prefixOnly) {
    std::string name = (prefixOnly ? "ExpectPrefix(" : "Expect(") + Quote(want) + ")";
    return Add(std::move(name), [this, want = std::move(want), prefixOnly] {
        Connection* c = Current();
        if (c == nullptr) return Fail("no open connection");
        std::string line;
        const Io status = ReadLine(*c, line, StepDeadline());
        if (status != Io::kOk) {
            const std::string partial = c->pending.empty() ? "" : " after partial line " + Quote(c->pending);
            return Fail("reading a line: " + Describe(status) + partial);
        }
        {
            std::lock_guard lock(mutex_);
            received_.push_back(line);
        }
        const bool match = prefixOnly ? line.starts_with(want) : line == want;
        return match || Fail("got " + Quote(line));
    });
}

ScriptedPeer& ScriptedPeer::Reply(std::string text) {
    std::string name = "Reply(" + Quote(text) + ")";
    return AddSend(std::move(name), text + "\r\n");
}

ScriptedPeer& ScriptedPeer::Send(std::string bytes) {
    std::string name = "Send(" + Quote(bytes) + ")";
    return AddSend(std::move(name), std::move(bytes));
}

ScriptedPeer& ScriptedPeer::AddSend(std::string name, std::string bytes) {
    return Add(std::move(name), [this, bytes = std::move(bytes)] {
        Connection* c = Current();
        if (c == nullptr) return Fail("no open connection");
        const Io status = WriteAll(*c, bytes, StepDeadline());
        return status == Io::kOk || Fail("sending: " + Describe(status));
    });
}

ScriptedPeer& ScriptedPeer::SendInPieces(std::string bytes, size_t pieceSize, int delayMs) {
    pieceSize = std::max<size_t>(pieceSize, 1);
    std::string name = "SendInPieces(" + Quote(bytes) + ", " + std::to_string(pieceSize) + ", " +
                       std::to_string(delayMs) + ")";
    return Add(std::move(name), [this, bytes = std::move(bytes), pieceSize, delayMs] {
        Connection* c = Current();
        if (c == nullptr) return Fail("no open connection");
        for (size_t offset = 0; offset < bytes.size(); offset += pieceSize) {
            if (offset > 0) {
                const Io slept = WaitFor(-1, 0, Clock::now() + std::chrono::milliseconds(delayMs));
                if (slept != Io::kTimeout) return Fail(Describe(slept));
            }
            const std::string_view piece = std::string_view(bytes).substr(offset, pieceSize);
            const Io status = WriteAll(*c, piece, StepDeadline());
            if (status != Io::kOk)
                return Fail("sending at offset " + std::to_string(offset) + ": " + Describe(status));
        }
        return true;
    });
}

ScriptedPeer& ScriptedPeer::Stall(int ms) {
    return Add("Stall(" + std::to_string(ms) + ")", [this, ms] {
        const Io slept = WaitFor(-1, 0, Clock::now() + std::chrono::milliseconds(ms));
        return slept == Io::kTimeout || Fail(Describe(slept));
    });
}

ScriptedPeer& ScriptedPeer::Close() {
    return Add("Close()", [this] {
        Connection* c = Current();
        if (c == nullptr) return Fail("no open connection");
        CloseConnection(*c, false);
        return true;
    });
}

ScriptedPeer& ScriptedPeer::Reset() {
    return Add("Reset()", [this] {
        Connection* c = Current();
        if (c == nullptr) return Fail("no open connection");
        CloseConnection(*c, true);
        return true;
    });
}

ScriptedPeer& ScriptedPeer::WaitForClose(int ms) {
    return Add("WaitForClose(" + std::to_string(ms) + ")", [this, ms] {
        Connection* c = Current();
        if (c == nullptr) return Fail("no open connection");
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            c->pending.clear();
            // Checked here as well: a client that keeps sending would keep ReadMore() from timing out.
            const Io status = Clock::now() < deadline ? ReadMore(*c, deadline) : Io::kTimeout;
            if (status == Io::kEof || status == Io::kError) return true;
            if (status == Io::kTimeout) return Fail("the client did not close the connection");
            if (status == Io::kStopped) return Fail(Describe(status));
        }
    });
}

ScriptedPeer& ScriptedPeer::ReadBytes(size_t n, int ms) {
    return Add("ReadBytes(" + std::to_string(n) + ", " + std::to_string(ms) + ")", [this, n, ms] {
        Connection* c = Current();
        if (c == nullptr) return Fail("no open connection");
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (c->pending.size() < n) {
            const Io status = ReadMore(*c, deadline);
            if (status != Io::kOk) {
                return Fail("got " + std::to_string(c->pending.size()) + " bytes: " + Describe(status));
            }
        }
        std::lock_guard lock(mutex_);
        bytes_.append(c->pending, 0, n);
        c->pending.erase(0, n);
        return true;
    });
}

ScriptedPeer& ScriptedPeer::Call(std::function<void()> fn) {
    return Add("Call()", [fn = std::move(fn)] {
        fn();
        return true;
    });
}

ScriptedPeer& ScriptedPeer::DiscardUntilQuit(int ms) {
    return Add("DiscardUntilQuit(" + std::to_string(ms) + ")", [this, ms] {
        Connection* c = Current();
        if (c == nullptr) return Fail("no open connection");
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            std::string line;
            const Io status = ReadLine(*c, line, deadline);
            if (status == Io::kEof || status == Io::kError) {
                CloseConnection(*c, false);
                return true;
            }
            if (status != Io::kOk) return Fail("waiting for QUIT: " + Describe(status));
            {
                std::lock_guard lock(mutex_);
                received_.push_back(line);
            }
            if (line.starts_with("QUIT")) {
                const Io sent = WriteAll(*c, "221 Goodbye.\r\n", deadline);
                CloseConnection(*c, false);
                return sent == Io::kOk || sent == Io::kError || Fail("sending: " + Describe(sent));
            }
        }
    });
}

// ---- FTP data connections ----

ScriptedPeer& ScriptedPeer::ExpectPasv() {
    Expect("PASV");
    return ReplyPasv();
}

ScriptedPeer& ScriptedPeer::ReplyPasv(std::string format) {
    std::string name = "ReplyPasv(" + Quote(format) + ")";
    return Add(std::move(name), [this, format = std::move(format)] {
        Connection* c = Current();
        if (c == nullptr) return Fail("no open connection");
        if (data_listen_fd_ >= 0) close(data_listen_fd_);
        data_listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const sockaddr_in addr = Loopback(0);
        if (data_listen_fd_ < 0 ||
            bind(data_listen_fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(data_listen_fd_, 1) != 0) {
            last_errno_ = errno;
            return Fail("opening the data listener: " + Describe(Io::kError));
        }
        const uint16_t port = LocalPort(data_listen_fd_);
        {
            std::lock_guard lock(mutex_);
            pasv_port_ = port;
        }
        std::string text = format;
        const size_t at = text.find(kPortPlaceholder);
        if (at != std::string::npos) {
            text.replace(at, std::string_view(kPortPlaceholder).size(),
                         std::to_string(port / 256) + "," + std::to_string(port % 256));
        }
        const Io status = WriteAll(*c, text + "\r\n", StepDeadline());
        return status == Io::kOk || Fail("sending: " + Describe(status));
    });
}

ScriptedPeer& ScriptedPeer::ExpectPort(std::string reply) {
    std::string name = "ExpectPort(" + Quote(reply) + ")";
    return Add(std::move(name), [this, reply = std::move(reply)] {
        Connection* c = Current();
        if (c == nullptr) return Fail("no open connection");
        std::string line;
        const Io status = ReadLine(*c, line, StepDeadline());
        if (status != Io::kOk) return Fail("reading a line: " + Describe(status));
        {
            std::lock_guard lock(mutex_);
            received_.push_back(line);
        }
        // "PORT h1,h2,h3,h4,p1,p2": six numbers from 0 to 255, nothing else.
        constexpr std::string_view kVerb = "PORT ";
        if (!line.starts_with(kVerb)) return Fail("got " + Quote(line));
        int numbers[6];
        size_t pos = kVerb.size();
        for (int i = 0; i < 6; ++i) {
            const size_t start = pos;
            int value = 0;
            while (pos < line.size() && line[pos] >= '0' && line[pos] <= '9' && pos - start < 3)
                value = value * 10 + (line[pos++] - '0');
            const bool separated = i < 5 ? pos < line.size() && line[pos] == ',' : pos == line.size();
            if (pos == start || value > 255 || !separated)
                return Fail("malformed PORT command " + Quote(line));
            numbers[i] = value;
            ++pos;
        }
        {
            std::lock_guard lock(mutex_);
            active_address_.host = std::to_string(numbers[0]) + "." + std::to_string(numbers[1]) + "." +
                                   std::to_string(numbers[2]) + "." + std::to_string(numbers[3]);
            active_address_.port = static_cast<uint16_t>(numbers[4] * 256 + numbers[5]);
        }
        if (reply.empty()) return true;
        const Io sent = WriteAll(*c, reply + "\r\n", StepDeadline());
        return sent == Io::kOk || Fail("sending: " + Describe(sent));
    });
}

ScriptedPeer& ScriptedPeer::DataAccept() {
    return Add("DataAccept()", [this] {
        if (data_listen_fd_ < 0) return Fail("no data listener: ReplyPasv() first");
        const auto deadline = StepDeadline();
        for (;;) {
            const Io ready = WaitFor(data_listen_fd_, POLLIN, deadline);
            if (ready != Io::kOk) return Fail("waiting for the data connection: " + Describe(ready));
            const int fd = accept4(data_listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0) {
                if (data_.fd >= 0) CloseConnection(data_, false);
                data_ = {fd, {}};
                // One connection per listener, as a server does: a second attempt is refused.
                close(data_listen_fd_);
                data_listen_fd_ = -1;
                return true;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
                last_errno_ = errno;
                return Fail("accept: " + Describe(Io::kError));
            }
        }
    });
}

ScriptedPeer& ScriptedPeer::DataConnect() {
    return Add("DataConnect()", [this] {
        const Address to = ActiveAddress();
        if (to.port == 0) return Fail("no PORT address: ExpectPort() first");
        // Traffic stays on this machine whatever the client announced.
        if (to.host != "127.0.0.1") return Fail("refusing to connect to " + to.host);
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            last_errno_ = errno;
            return Fail("socket: " + Describe(Io::kError));
        }
        if (data_.fd >= 0) CloseConnection(data_, false);
        data_ = {fd, {}};
        const sockaddr_in addr = Loopback(to.port);
        if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 && errno != EINPROGRESS) {
            last_errno_ = errno;
            CloseConnection(data_, false);
            return Fail("connecting to port " + std::to_string(to.port) + ": " + Describe(Io::kError));
        }
        const Io ready = WaitFor(fd, POLLOUT, StepDeadline());
        int error = 0;
        socklen_t len = sizeof error;
        if (ready == Io::kOk && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0)
            return true;
        last_errno_ = error;
        CloseConnection(data_, false);
        return Fail("connecting to port " + std::to_string(to.port) + ": " +
                    Describe(ready == Io::kOk ? Io::kError : ready));
    });
}

ScriptedPeer& ScriptedPeer::DataSend(std::string bytes) {
    std::string name = "DataSend(" + Quote(bytes) + ")";
    return Add(std::move(name), [this, bytes = std::move(bytes)] {
        Connection* c = Data();
        if (c == nullptr) return Fail("no open data connection");
        const Io status = WriteAll(*c, bytes, StepDeadline());
        return status == Io::kOk || Fail("sending: " + Describe(status));
    });
}

ScriptedPeer& ScriptedPeer::DataReceiveAll(int ms) {
    return Add("DataReceiveAll(" + std::to_string(ms) + ")", [this, ms] {
        Connection* c = Data();
        if (c == nullptr) return Fail("no open data connection");
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        Io status = Io::kOk;
        while (status == Io::kOk) {
            // Checked here as well: a client that keeps sending would keep ReadMore() from timing out.
            status = Clock::now() < deadline ? ReadMore(*c, deadline) : Io::kTimeout;
        }
        const size_t got = c->pending.size();
        {
            std::lock_guard lock(mutex_);
            data_bytes_ += c->pending;
        }
        c->pending.clear();
        if (status != Io::kEof) {
            return Fail(
                "got " + std::to_string(got) + " bytes, then " +
                (status == Io::kTimeout ? "the client did not close the data connection" : Describe(status)));
        }
        CloseConnection(*c, false);
        return true;
    });
}

ScriptedPeer& ScriptedPeer::DataReadBytes(size_t n, int ms) {
    return Add("DataReadBytes(" + std::to_string(n) + ", " + std::to_string(ms) + ")", [this, n, ms] {
        Connection* c = Data();
        if (c == nullptr) return Fail("no open data connection");
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (c->pending.size() < n) {
            const Io status = ReadMore(*c, deadline);
            if (status != Io::kOk)
                return Fail("got " + std::to_string(c->pending.size()) + " bytes: " + Describe(status));
        }
        std::lock_guard lock(mutex_);
        data_bytes_ += c->pending;
        c->pending.clear();
        return true;
    });
}

ScriptedPeer& ScriptedPeer::DataClose() {
    return Add("DataClose()", [this] {
        Connection* c = Data();
        if (c == nullptr) return Fail("no open data connection");
        CloseConnection(*c, false);
        return true;
    });
}

ScriptedPeer& ScriptedPeer::DataReset() {
    return Add("DataReset()", [this] {
        Connection* c = Data();
        if (c == nullptr) return Fail("no open data connection");
        CloseConnection(*c, true);
        return true;
    });
}

// ---- Running ----

void ScriptedPeer::Start() {
    {
        std::lock_guard lock(mutex_);
        if (started_ || listen_fd_ < 0) return;
        started_ = true;
    }
    thread_ = std::thread([this] { Run(); });
}

void ScriptedPeer::Run() {
    bool ok = true;
    for (size_t i = 0; ok && i < steps_.size(); ++i) {
        step_index_ = i;
        try {
            ok = stopping_ ? Fail(Describe(Io::kStopped)) : steps_[i].run();
        } catch (const std::exception& e) {
            ok = Fail(std::string("exception: ") + e.what());
        } catch (...) {
            ok = Fail("unknown exception");
        }
    }
    std::lock_guard lock(mutex_);
    ended_ = true;
    completed_ = ok;
    ended_cv_.notify_all();
}

bool ScriptedPeer::Wait(int timeoutMs) {
    std::unique_lock lock(mutex_);
    if (!started_) return false;
    return ended_cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return ended_; });
}

void ScriptedPeer::Stop() {
    stopping_ = true;
    if (wake_[1] >= 0) {
        const char byte = 1;
        // The pipe is never drained, so it stays readable and every later wait returns at once too.
        [[maybe_unused]] const ssize_t written = write(wake_[1], &byte, 1);
    }
    if (thread_.joinable()) thread_.join();
    for (Connection& c : connections_) {
        if (c.fd >= 0) close(c.fd);
        c.fd = -1;
    }
    for (int* fd : {&data_.fd, &data_listen_fd_, &listen_fd_, &wake_[0], &wake_[1]}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

std::vector<std::string> ScriptedPeer::Received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<std::string> ScriptedPeer::Failures() const {
    std::lock_guard lock(mutex_);
    return failures_;
}

std::string ScriptedPeer::FailureText() const {
    std::lock_guard lock(mutex_);
    std::string text;
    for (const std::string& failure : failures_) text += failure + "\n";
    if (!started_) {
        text += "script not started\n";
    } else if (!ended_) {
        const size_t i = step_index_;
        text += "script still running at step " + std::to_string(i + 1) + " " +
                (i < steps_.size() ? steps_[i].name : "?") + "\n";
    }
    return text;
}

std::string ScriptedPeer::Bytes() const {
    std::lock_guard lock(mutex_);
    return bytes_;
}

std::string ScriptedPeer::DataBytes() const {
    std::lock_guard lock(mutex_);
    return data_bytes_;
}

uint16_t ScriptedPeer::PasvPort() const {
    std::lock_guard lock(mutex_);
    return pasv_port_;
}

ScriptedPeer::Address ScriptedPeer::ActiveAddress() const {
    std::lock_guard lock(mutex_);
    return active_address_;
}

bool ScriptedPeer::Ok() const {
    std::lock_guard lock(mutex_);
    return ended_ && completed_ && failures_.empty();
}

bool ScriptedPeer::Fail(const std::string& what) {
    const size_t i = step_index_;
    const std::string step = i < steps_.size() ? steps_[i].name : "?";
    std::lock_guard lock(mutex_);
    failures_.push_back("step " + std::to_string(i + 1) + " " + step + ": " + what);
    return false;
}

std::string ScriptedPeer::Describe(Io status) const {
    switch (status) {
        case Io::kOk:
            return "ok";
        case Io::kEof:
            return "connection closed by the client";
        case Io::kError:
            return std::strerror(last_errno_);
        case Io::kTimeout:
            return "timed out";
        case Io::kStopped:
            return "interrupted by Stop()";
    }
    return "?";
}

ScriptedPeer::Clock::time_point ScriptedPeer::StepDeadline() const {
    return Clock::now() + std::chrono::milliseconds(step_timeout_ms_);
}

ScriptedPeer::Connection* ScriptedPeer::Current() {
    if (current_ < 0 || connections_[current_].fd < 0) return nullptr;
    return &connections_[current_];
}

ScriptedPeer::Connection* ScriptedPeer::Data() { return data_.fd >= 0 ? &data_ : nullptr; }

// ---- Blocking helpers ----

ScriptedPeer::Io ScriptedPeer::WaitFor(int fd, short events, Clock::time_point deadline) {
    pollfd fds[2] = {{wake_[0], POLLIN, 0}, {fd, events, 0}};
    const nfds_t count = fd >= 0 ? 2 : 1;
    for (;;) {
        if (stopping_) return Io::kStopped;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        const int timeout = static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
        const int n = poll(fds, count, timeout);
        if (n < 0 && errno != EINTR) {
            last_errno_ = errno;
            return Io::kError;
        }
        if (n > 0 && fds[0].revents != 0) return Io::kStopped;
        if (n > 0 && count == 2 && fds[1].revents != 0) return Io::kOk;
        if (timeout == 0) return Io::kTimeout;
    }
}

ScriptedPeer::Io ScriptedPeer::ReadMore(Connection& c, Clock::time_point deadline) {
    for (;;) {
        const Io ready = WaitFor(c.fd, POLLIN, deadline);
        if (ready != Io::kOk) return ready;
        char buffer[4096];
        const ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            c.pending.append(buffer, static_cast<size_t>(n));
            return Io::kOk;
        }
        if (n == 0) return Io::kEof;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            last_errno_ = errno;
            return Io::kError;
        }
    }
}

ScriptedPeer::Io ScriptedPeer::ReadLine(Connection& c, std::string& line, Clock::time_point deadline) {
    for (;;) {
        const size_t lf = c.pending.find('\n');
        if (lf != std::string::npos) {
            line.assign(c.pending, 0, lf);
            c.pending.erase(0, lf + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return Io::kOk;
        }
        if (c.pending.size() > kMaxLine) {
            last_errno_ = EMSGSIZE;
            return Io::kError;
        }
        const Io status = ReadMore(c, deadline);
        if (status != Io::kOk) return status;
    }
}

ScriptedPeer::Io ScriptedPeer::WriteAll(Connection& c, std::string_view bytes, Clock::time_point deadline) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(c.fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n >= 0) {
            sent += static_cast<size_t>(n);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            const Io ready = WaitFor(c.fd, POLLOUT, deadline);
            if (ready != Io::kOk) return ready;
        } else if (errno != EINTR) {
            last_errno_ = errno;
            return Io::kError;
        }
    }
    return Io::kOk;
}

void ScriptedPeer::CloseConnection(Connection& c, bool reset) {
    if (reset) {
        const linger abort{1, 0};
        setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    } else {
        shutdown(c.fd, SHUT_WR);
        // Unread input would turn close() into a reset; the script did not want it, so drop it.
        char buffer[4096];
        for (int i = 0; i < 64 && recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0; ++i) {
        }
    }
    close(c.fd);
    c.fd = -1;
    c.pending.clear();
}

}  // namespace testsupport
