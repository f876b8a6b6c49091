#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace testsupport {

// A TCP server on 127.0.0.1 that plays a script, for tests of network clients.
//
// Steps are appended before Start() and then run in order on the peer's own thread. A step that fails
// records a human-readable message and ends the script. Every blocking step has a deadline (the step
// timeout, 5 s unless changed, or the step's own), and Stop() or the destructor interrupts any step at
// once, so a test can never hang on the peer.
//
// Sockets stay open when the script ends: only Close()/Reset() steps and Stop() close them, so the client
// sees end-of-stream exactly where the script puts it.
//
//   ScriptedPeer peer;
//   peer.Accept().Reply("220 ready").Expect("QUIT").Reply("221 bye").Close();
//   peer.Start();
//   ... run the client against peer.Port() ...
//   ASSERT_TRUE(peer.Wait(5000));
//   EXPECT_TRUE(peer.Ok()) << peer.FailureText();
class ScriptedPeer {
  public:
    // Listens on an ephemeral port of 127.0.0.1. Throws std::runtime_error when it cannot.
    ScriptedPeer();
    // Listens on the given port of 127.0.0.1. Throws std::runtime_error when it cannot.
    explicit ScriptedPeer(uint16_t port);
    ~ScriptedPeer();

    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    uint16_t Port() const { return port_; }

    // A port of 127.0.0.1 that was free a moment ago and that nothing listens on.
    static uint16_t UnusedPort();

    // Deadline of every step that takes no explicit one. Call before Start().
    ScriptedPeer& SetStepTimeout(int ms);

    // Script steps, run in the order they are added.
    ScriptedPeer& Accept();                          // accept the next connection; it becomes current
    ScriptedPeer& Expect(std::string line);          // read a line (CR LF or LF stripped), must equal
    ScriptedPeer& ExpectPrefix(std::string prefix);  // read a line, must start with prefix
    ScriptedPeer& Reply(std::string text);           // send text + CR LF
    ScriptedPeer& Send(std::string bytes);           // send raw bytes
    ScriptedPeer& SendInPieces(std::string bytes, size_t pieceSize, int delayMs);
    ScriptedPeer& Stall(int ms);                   // do nothing for ms
    ScriptedPeer& Close();                         // graceful close of the current connection
    ScriptedPeer& Reset();                         // abortive close: the client gets a reset
    ScriptedPeer& WaitForClose(int ms);            // discard input until the client closes; failure after ms
    ScriptedPeer& ReadBytes(size_t n, int ms);     // read exactly n bytes into Bytes()
    ScriptedPeer& Call(std::function<void()> fn);  // run fn on the peer thread

    void Start();
    // True once the script has ended, whether it ran to the end or stopped at a failure.
    bool Wait(int timeoutMs);
    // Interrupts the script, closes every socket and joins the thread. Call from the owning thread.
    void Stop();

    std::vector<std::string> Received() const;  // every line read by Expect steps, matched or not
    std::vector<std::string> Failures() const;
    std::string FailureText() const;  // failures, or where a script that has not ended is
    std::string Bytes() const;        // everything read by ReadBytes steps, in order
    bool Ok() const;                  // the script ran to its end without a failure

  private:
    using Clock = std::chrono::steady_clock;

    // An accepted connection and the bytes read from it that no step has consumed yet.
    struct Connection {
        int fd = -1;
        std::string pending;
    };

    enum class Io { kOk, kEof, kError, kTimeout, kStopped };

    // A step returns false to end the script, after recording why with Fail().
    struct Step {
        std::string name;
        std::function<bool()> run;
    };

    ScriptedPeer& Add(std::string name, std::function<bool()> run);
    ScriptedPeer& AddExpect(std::string want, bool prefixOnly);
    ScriptedPeer& AddSend(std::string name, std::string bytes);
    void Run();
    bool Fail(const std::string& what);
    std::string Describe(Io status) const;
    Clock::time_point StepDeadline() const;
    Connection* Current();

    // Blocking helpers for steps. Each gives up at its deadline and returns kStopped on Stop(), so new
    // steps (data connections, for instance) get the same guarantees by building on them.
    Io WaitFor(int fd, short events, Clock::time_point deadline);  // fd < 0: just sleep
    Io ReadMore(Connection& c, Clock::time_point deadline);
    Io ReadLine(Connection& c, std::string& line, Clock::time_point deadline);
    Io WriteAll(Connection& c, std::string_view bytes, Clock::time_point deadline);
    static void CloseConnection(Connection& c, bool reset);

    void Listen(uint16_t port);

    int listen_fd_ = -1;
    uint16_t port_ = 0;
    int wake_[2] = {-1, -1};  // self-pipe: Stop() writes to it to wake every wait
    int step_timeout_ms_ = 5000;
    std::vector<Step> steps_;

    // Owned by the peer thread while it runs.
    std::vector<Connection> connections_;  // all accepted connections, closed by Stop()
    int current_ = -1;
    int last_errno_ = 0;

    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<size_t> step_index_{0};

    mutable std::mutex mutex_;
    std::condition_variable ended_cv_;
    bool started_ = false;
    bool ended_ = false;
    bool completed_ = false;
    std::vector<std::string> received_;
    std::vector<std::string> failures_;
    std::string bytes_;
};

}  // namespace testsupport
