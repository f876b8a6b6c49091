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
    // A server that has stopped answering: reads and discards lines (kept in Received()) until "QUIT",
    // which it answers with "221 Goodbye." before closing, or until the client closes the connection.
    // Fails after ms.
    ScriptedPeer& DiscardUntilQuit(int ms);

    // FTP data connections. One data connection at a time, apart from the control connections above; its
    // steps keep the same deadlines and are interrupted by Stop() like every other step.
    //
    //   passive:  peer.ExpectPasv().Expect("RETR f").Reply("150 go").DataAccept().DataSend("...").DataClose()
    //   active:   peer.ExpectPort().Expect("STOR f").Reply("150 go").DataConnect().DataReceiveAll(2000)
    static constexpr const char* kPortPlaceholder = "{p1,p2}";
    ScriptedPeer& ExpectPasv();  // read "PASV", then ReplyPasv() with the usual 227 text
    // Opens a data listener on an ephemeral port of 127.0.0.1 (closing one left open) and sends `format`
    // with kPortPlaceholder replaced by the port's high and low byte, "p1,p2".
    ScriptedPeer& ReplyPasv(std::string format = "227 Entering Passive Mode (127,0,0,1,{p1,p2})");
    // Reads a line "PORT h1,h2,h3,h4,p1,p2", records the address (see ActiveAddress()) and sends `reply`
    // unless it is empty. A line that is not a well-formed PORT command fails the step.
    ScriptedPeer& ExpectPort(std::string reply = "200 PORT command successful");
    // Both make the new connection the data connection, closing one left open.
    ScriptedPeer& DataAccept();   // passive: accept on the data listener, which is then closed
    ScriptedPeer& DataConnect();  // active: connect to the recorded PORT address (127.0.0.1 only)
    ScriptedPeer& DataSend(std::string bytes);
    // Reads until the client closes the data connection, into DataBytes(), and closes it too. A reset or
    // ms passing first fails the step (what came until then is in DataBytes() all the same).
    ScriptedPeer& DataReceiveAll(int ms);
    // Reads at least n bytes of the data connection into DataBytes() and leaves the rest unread.
    ScriptedPeer& DataReadBytes(size_t n, int ms);
    ScriptedPeer& DataClose();  // graceful close of the data connection
    ScriptedPeer& DataReset();  // abortive close: the client gets a reset

    struct Address {
        std::string host;  // dotted, "127.0.0.1"
        uint16_t port = 0;
    };

    void Start();
    // True once the script has ended, whether it ran to the end or stopped at a failure.
    bool Wait(int timeoutMs);
    // Interrupts the script, closes every socket and joins the thread. Call from the owning thread.
    void Stop();

    std::vector<std::string> Received() const;  // every line read by Expect/ExpectPort, matched or not
    std::vector<std::string> Failures() const;
    std::string FailureText() const;  // failures, or where a script that has not ended is
    std::string Bytes() const;        // everything read by ReadBytes steps, in order
    std::string DataBytes() const;    // everything read by DataReceiveAll steps, in order
    uint16_t PasvPort() const;        // the port of the last data listener, 0 before any
    Address ActiveAddress() const;    // the address of the last PORT command, empty before any
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
    Connection* Data();  // the open data connection, or nullptr

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
    int data_listen_fd_ = -1;              // passive data listener, closed by DataAccept() and Stop()
    Connection data_;                      // the data connection, closed by its steps and Stop()
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
    std::string data_bytes_;
    uint16_t pasv_port_ = 0;
    Address active_address_;
};

}  // namespace testsupport
