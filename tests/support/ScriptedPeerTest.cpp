#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/ScriptedPeer.h"

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A blocking client socket whose every send and receive gives up after two seconds.
struct Client {
    int fd = -1;
    int connectError = 0;

    explicit Client(uint16_t port) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        const timeval timeout{2, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) connectError = errno;
    }
    ~Client() { CloseNow(); }

    void CloseNow() {
        if (fd >= 0) close(fd);
        fd = -1;
    }

    bool SendAll(const std::string& bytes) {
        return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }

    // Reads until `want` bytes arrived, the peer closed, an error or three seconds passed.
    struct Result {
        std::string data;
        bool eof = false;
        int error = 0;
    };
    Result Read(size_t want = SIZE_MAX) {
        Result r;
        const auto deadline = Clock::now() + milliseconds(3000);
        while (r.data.size() < want && Clock::now() < deadline) {
            char buffer[512];
            const ssize_t n = recv(fd, buffer, std::min(sizeof buffer, want - r.data.size()), 0);
            if (n > 0) {
                r.data.append(buffer, static_cast<size_t>(n));
            } else if (n == 0) {
                r.eof = true;
                break;
            } else if (errno != EINTR) {
                r.error = errno;
                break;
            }
        }
        return r;
    }

    // One line, line end included; shorter when the peer closes or three seconds pass.
    std::string Line() {
        std::string line;
        while (!line.ends_with('\n')) {
            const Result r = Read(1);
            if (r.data.empty()) break;
            line += r.data;
        }
        return line;
    }
};

TEST(ScriptedPeerTest, PlaysADialogueAndRecordsEveryLine) {
    ScriptedPeer peer;
    peer.Accept().Reply("220 ready").Expect("USER bob").ExpectPrefix("PASS ").Reply("230 in").Close();
    peer.Start();

    Client client(peer.Port());
    ASSERT_EQ(client.connectError, 0);
    EXPECT_EQ(client.Read(11).data, "220 ready\r\n");
    // Two lines in one segment, the second ended by a bare LF.
    ASSERT_TRUE(client.SendAll("USER bob\r\nPASS secret\n"));
    const Client::Result rest = client.Read();
    EXPECT_EQ(rest.data, "230 in\r\n");
    EXPECT_TRUE(rest.eof);

    ASSERT_TRUE(peer.Wait(5000));
    EXPECT_TRUE(peer.Ok()) << peer.FailureText();
    EXPECT_EQ(peer.Received(), (std::vector<std::string>{"USER bob", "PASS secret"}));
}

TEST(ScriptedPeerTest, ReadBytesTakesExactlyTheBinaryDataBetweenLines) {
    const std::string payload("a\0b\r\nc\0\xff", 8);
    ScriptedPeer peer;
    peer.Accept().Expect("STOR f").ReadBytes(payload.size(), 2000).Expect("QUIT").Reply("221 bye");
    peer.Start();

    Client client(peer.Port());
    ASSERT_TRUE(client.SendAll("STOR f\r\n" + payload + "QUIT\r\n"));
    EXPECT_EQ(client.Read(9).data, "221 bye\r\n");
    ASSERT_TRUE(peer.Wait(5000));
    EXPECT_TRUE(peer.Ok()) << peer.FailureText();
    EXPECT_EQ(peer.Bytes(), payload);
    EXPECT_EQ(peer.Received(), (std::vector<std::string>{"STOR f", "QUIT"}));
}

TEST(ScriptedPeerTest, CloseIsAGracefulEndEvenWithUnreadInput) {
    ScriptedPeer peer;
    peer.Accept().Reply("421 closing").Stall(200).Close();
    peer.Start();

    Client client(peer.Port());
    ASSERT_TRUE(client.SendAll("NOOP\r\n"));  // never read by the script
    const Client::Result r = client.Read();
    EXPECT_EQ(r.data, "421 closing\r\n");
    EXPECT_TRUE(r.eof);
    EXPECT_EQ(r.error, 0);
    ASSERT_TRUE(peer.Wait(5000));
    EXPECT_TRUE(peer.Ok()) << peer.FailureText();
}

TEST(ScriptedPeerTest, FailingStepIsReportedAndEndsTheScript) {
    struct Case {
        const char* name;
        std::function<void(ScriptedPeer&)> script;
        std::string clientSends;
        bool clientCloses;
        std::string failure;
    };
    const Case cases[] = {
        {"mismatch", [](ScriptedPeer& p) { p.Expect("USER alice"); }, "USER bob\r\n", false,
         "Expect(\"USER alice\"): got \"USER bob\""},
        {"prefix mismatch", [](ScriptedPeer& p) { p.ExpectPrefix("PASS "); }, "USER bob\r\n", false,
         "got \"USER bob\""},
        {"eof mid-line", [](ScriptedPeer& p) { p.Expect("USER bob"); }, "USER b", true,
         "closed by the client after partial line \"USER b\""},
        {"step timeout", [](ScriptedPeer& p) { p.SetStepTimeout(100).Expect("USER bob"); }, "", false,
         "timed out"},
        {"short read", [](ScriptedPeer& p) { p.ReadBytes(10, 100); }, "abc", false, "got 3 bytes: timed out"},
        {"client stays", [](ScriptedPeer& p) { p.WaitForClose(100); }, "", false, "did not close"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::atomic<bool> ranOn{false};
        ScriptedPeer peer;
        peer.Accept();
        c.script(peer);
        peer.Call([&] { ranOn = true; });
        peer.Start();

        Client client(peer.Port());
        ASSERT_TRUE(client.SendAll(c.clientSends));
        if (c.clientCloses) client.CloseNow();

        ASSERT_TRUE(peer.Wait(5000));
        EXPECT_FALSE(peer.Ok());
        EXPECT_FALSE(ranOn);
        const std::vector<std::string> failures = peer.Failures();
        ASSERT_EQ(failures.size(), 1u);
        EXPECT_NE(failures[0].find(c.failure), std::string::npos) << failures[0];
    }
}

TEST(ScriptedPeerTest, PiecesArriveWholeInOrderAndPaced) {
    std::string payload;
    for (int i = 0; i < 1000; ++i) payload += static_cast<char>(i * 7);
    ScriptedPeer peer;
    peer.Accept().SendInPieces(payload, 100, 5).Close();
    peer.Start();

    Client client(peer.Port());
    const auto start = Clock::now();
    const Client::Result r = client.Read();
    EXPECT_EQ(r.data, payload);
    EXPECT_TRUE(r.eof);
    EXPECT_GE(Clock::now() - start, milliseconds(9 * 5));
    ASSERT_TRUE(peer.Wait(5000));
    EXPECT_TRUE(peer.Ok()) << peer.FailureText();
}

TEST(ScriptedPeerTest, ResetGivesTheClientConnectionReset) {
    ScriptedPeer peer;
    peer.Accept().Reset();
    peer.Start();

    Client client(peer.Port());
    const Client::Result r = client.Read();
    EXPECT_EQ(r.error, ECONNRESET);
    EXPECT_FALSE(r.eof);
    ASSERT_TRUE(peer.Wait(5000));
    EXPECT_TRUE(peer.Ok()) << peer.FailureText();
}

TEST(ScriptedPeerTest, SendingToAVanishedClientIsAFailureNotACrash) {
    ScriptedPeer peer;
    peer.Accept().WaitForClose(2000).Reply("too late");
    peer.Start();

    {
        Client client(peer.Port());
        const linger abort{1, 0};
        setsockopt(client.fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    ASSERT_TRUE(peer.Wait(5000));
    const std::vector<std::string> failures = peer.Failures();
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_NE(failures[0].find("Reply(\"too late\"): sending"), std::string::npos) << failures[0];
}

TEST(ScriptedPeerTest, StopInterruptsABlockedStepPromptly) {
    struct Case {
        const char* name;
        bool connect;
        std::function<void(ScriptedPeer&)> script;
    };
    const Case cases[] = {
        {"stall", false, [](ScriptedPeer& p) { p.Stall(10000); }},
        {"accept", false, [](ScriptedPeer& p) { p.SetStepTimeout(10000).Accept(); }},
        {"expect", true, [](ScriptedPeer& p) { p.SetStepTimeout(10000).Accept().Expect("never"); }},
        {"data accept", true,
         [](ScriptedPeer& p) { p.SetStepTimeout(10000).Accept().ReplyPasv().DataAccept(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPeer peer;
        c.script(peer);
        peer.Start();
        std::unique_ptr<Client> client;
        if (c.connect) client = std::make_unique<Client>(peer.Port());
        EXPECT_FALSE(peer.Wait(100));

        const auto start = Clock::now();
        peer.Stop();
        EXPECT_LT(Clock::now() - start, milliseconds(1000));
        EXPECT_TRUE(peer.Wait(0));
        EXPECT_FALSE(peer.Ok());
        const std::vector<std::string> failures = peer.Failures();
        ASSERT_EQ(failures.size(), 1u);
        EXPECT_NE(failures[0].find("interrupted by Stop()"), std::string::npos) << failures[0];
    }
}

// The port of "(h1,h2,h3,h4,p1,p2)" or "=h1,h2,h3,h4,p1,p2" at the end of a reply line.
uint16_t PortOfReply(const std::string& reply) {
    std::vector<int> numbers;
    int value = -1;
    for (char ch : reply.substr(reply.find_first_of("(=") + 1)) {
        if (ch >= '0' && ch <= '9') {
            value = (value < 0 ? 0 : value * 10) + (ch - '0');
        } else if (value >= 0) {
            numbers.push_back(value);
            value = -1;
        }
    }
    if (value >= 0) numbers.push_back(value);
    return numbers.size() == 6 ? static_cast<uint16_t>(numbers[4] * 256 + numbers[5]) : 0;
}

TEST(ScriptedPeerTest, PassiveDataConnectionCarriesBytesBothWays) {
    const std::string download("file\0body", 9);
    ScriptedPeer peer;
    peer.Accept().ExpectPasv().DataAccept().DataSend(download).DataClose();
    peer.ReplyPasv("227 =127,0,0,1,{p1,p2}").DataAccept().DataReceiveAll(2000).Reply("226 done");
    peer.Start();

    Client control(peer.Port());
    ASSERT_TRUE(control.SendAll("PASV\r\n"));
    const std::string first = control.Line();
    EXPECT_TRUE(first.starts_with("227 Entering Passive Mode (127,0,0,1,")) << first;
    const uint16_t firstPort = PortOfReply(first);
    ASSERT_NE(firstPort, 0) << first;
    {
        Client data(firstPort);
        ASSERT_EQ(data.connectError, 0);
        const Client::Result r = data.Read();
        EXPECT_EQ(r.data, download);
        EXPECT_TRUE(r.eof);
    }
    const std::string second = control.Line();
    ASSERT_TRUE(second.starts_with("227 =")) << second;
    const uint16_t secondPort = PortOfReply(second);
    EXPECT_EQ(second, "227 =127,0,0,1," + std::to_string(secondPort / 256) + "," +
                          std::to_string(secondPort % 256) + "\r\n");
    EXPECT_EQ(secondPort, peer.PasvPort());
    EXPECT_EQ(Client(firstPort).connectError, ECONNREFUSED) << "the first listener is closed once used";
    {
        Client data(secondPort);
        ASSERT_TRUE(data.SendAll("upload\r\n"));
    }
    EXPECT_EQ(control.Line(), "226 done\r\n");
    ASSERT_TRUE(peer.Wait(5000));
    EXPECT_TRUE(peer.Ok()) << peer.FailureText();
    EXPECT_EQ(peer.DataBytes(), "upload\r\n");
}

TEST(ScriptedPeerTest, ActiveDataConnectionGoesToThePortAddress) {
    // The client's side of an active transfer: a listener on 127.0.0.1.
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    socklen_t len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    const uint16_t port = ntohs(addr.sin_port);

    ScriptedPeer peer;
    peer.Accept().ExpectPort().DataConnect().DataSend("listing\r\n").DataClose();
    peer.Start();
    Client control(peer.Port());
    ASSERT_TRUE(control.SendAll("PORT 127,0,0,1," + std::to_string(port / 256) + "," +
                                std::to_string(port % 256) + "\r\n"));
    EXPECT_EQ(control.Line(), "200 PORT command successful\r\n");
    const int fd = accept(listener, nullptr, nullptr);
    close(listener);
    ASSERT_GE(fd, 0);
    Client data(0);  // only for its Read(): the accepted socket replaces its own
    close(data.fd);
    data.fd = fd;
    const Client::Result r = data.Read();
    EXPECT_EQ(r.data, "listing\r\n");
    EXPECT_TRUE(r.eof);
    ASSERT_TRUE(peer.Wait(5000));
    EXPECT_TRUE(peer.Ok()) << peer.FailureText();
    EXPECT_EQ(peer.ActiveAddress().host, "127.0.0.1");
    EXPECT_EQ(peer.ActiveAddress().port, port);
}

TEST(ScriptedPeerTest, DataStepsFailOnBadPortCommandsAndResets) {
    struct Case {
        const char* name;
        std::function<void(ScriptedPeer&)> script;
        std::string clientSends;
        std::string failure;
    };
    const Case cases[] = {
        {"not PORT", [](ScriptedPeer& p) { p.ExpectPort(); }, "PASV\r\n", "got \"PASV\""},
        {"five numbers", [](ScriptedPeer& p) { p.ExpectPort(); }, "PORT 127,0,0,1,4\r\n", "malformed"},
        {"seven numbers", [](ScriptedPeer& p) { p.ExpectPort(); }, "PORT 127,0,0,1,4,1,1\r\n", "malformed"},
        {"byte over 255", [](ScriptedPeer& p) { p.ExpectPort(); }, "PORT 127,0,0,1,256,1\r\n", "malformed"},
        {"elsewhere", [](ScriptedPeer& p) { p.ExpectPort("").DataConnect(); }, "PORT 10,0,0,7,4,1\r\n",
         "refusing to connect to 10.0.0.7"},
        {"nobody listens", [](ScriptedPeer& p) { p.ExpectPort("").DataConnect(); }, "", "Connection refused"},
        {"no listener", [](ScriptedPeer& p) { p.DataAccept(); }, "", "ReplyPasv() first"},
        {"no data connection", [](ScriptedPeer& p) { p.DataSend("x"); }, "", "no open data connection"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPeer peer;
        peer.Accept();
        c.script(peer);
        peer.Start();
        Client client(peer.Port());
        const uint16_t unused = ScriptedPeer::UnusedPort();
        const std::string sends = c.clientSends.empty() ? "PORT 127,0,0,1," + std::to_string(unused / 256) +
                                                              "," + std::to_string(unused % 256) + "\r\n"
                                                        : c.clientSends;
        ASSERT_TRUE(client.SendAll(sends));
        ASSERT_TRUE(peer.Wait(5000));
        const std::vector<std::string> failures = peer.Failures();
        ASSERT_EQ(failures.size(), 1u);
        EXPECT_NE(failures[0].find(c.failure), std::string::npos) << failures[0];
    }

    // A reset is no end of data: the step fails and keeps what came before it.
    ScriptedPeer peer;
    peer.Accept().ReplyPasv().DataAccept().DataReceiveAll(2000);
    peer.Start();
    Client control(peer.Port());
    const uint16_t port = PortOfReply(control.Line());
    {
        Client data(port);
        ASSERT_TRUE(data.SendAll("part"));
        const linger abort{1, 0};
        setsockopt(data.fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    ASSERT_TRUE(peer.Wait(5000));
    const std::vector<std::string> failures = peer.Failures();
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_NE(failures[0].find("got 4 bytes, then"), std::string::npos) << failures[0];
    EXPECT_EQ(peer.DataBytes(), "part");
}

TEST(ScriptedPeerTest, UnusedPortRefusesUntilAPeerListensOnIt) {
    const uint16_t port = ScriptedPeer::UnusedPort();
    EXPECT_EQ(Client(port).connectError, ECONNREFUSED);

    ScriptedPeer peer(port);
    EXPECT_EQ(peer.Port(), port);
    peer.Accept().Reply("hi").Close();
    peer.Start();
    Client client(port);
    EXPECT_EQ(client.Read().data, "hi\r\n");
    ASSERT_TRUE(peer.Wait(5000));
    EXPECT_TRUE(peer.Ok()) << peer.FailureText();
}

}  // namespace
}  // namespace testsupport
