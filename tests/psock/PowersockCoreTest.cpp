// Construction, start-up counting, status and error reporting, dispatch and the time-out control.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "net/psock/Psock.h"
#include "psock/PsockTestUtil.h"
#include "support/ScriptedPeer.h"

using Psock::ESockError;
using Psock::TPowersock;
using testsupport::ScriptedPeer;
using testutil::PumpUntil;

TEST(PowersockCore, OnlyTheFirstComponentStartsSocketsAndTheLastCleansUp) {
    ASSERT_EQ(Psock::WinsockUsers(), 0);
    auto first = std::make_unique<TPowersock>(nullptr);
    auto second = std::make_unique<TPowersock>(nullptr);
    EXPECT_EQ(Psock::WinsockUsers(), 2);
    const auto& info = first->WinsockInfo();
    ASSERT_EQ(info.Count(), 6);
    EXPECT_EQ(info[0], "Version= 1.1");
    EXPECT_EQ(info[1], "High Version= 1.1");
    EXPECT_EQ(info[2].rfind("Description= ", 0), 0u);
    EXPECT_EQ(info[3].rfind("System= ", 0), 0u);
    EXPECT_EQ(info[4].rfind("Max Sockets= ", 0), 0u);
    EXPECT_EQ(info[5].rfind("Max Udp pack size= ", 0), 0u);
    EXPECT_EQ(second->WinsockInfo().Count(), 0);
    EXPECT_NE(first->Socket(), Psock::kNoSocket);
    EXPECT_NE(first->Socket(), second->Socket());
    first.reset();
    EXPECT_EQ(Psock::WinsockUsers(), 1);
    second.reset();
    EXPECT_EQ(Psock::WinsockUsers(), 0);
    // Sockets work again after the clean-up.
    TPowersock third(nullptr);
    EXPECT_EQ(third.WinsockInfo().Count(), 6);
}

TEST(PowersockCore, ComponentBeingDesignedOpensNoSocket) {
    vcl::TComponent form(nullptr);
    form.SetDesigning(true);
    auto* sock = new TPowersock(&form);  // owned and freed by the form
    EXPECT_EQ(sock->Socket(), Psock::kNoSocket);
    EXPECT_EQ(Psock::WinsockUsers(), 0);
}

TEST(PowersockCore, ReportLevelFiltersStatusTexts) {
    TPowersock sock(nullptr);
    std::vector<std::string> seen;
    sock.OnStatus = [&](vcl::TComponent* sender, const std::string& status) {
        EXPECT_EQ(sender, &sock);
        seen.push_back(status);
    };
    struct Case {
        int level;
        std::vector<std::string> want;
    } cases[] = {
        {0, {}},
        {1, {}},
        {4, {"Demande de fermeture de socket"}},
        {8, {"Déconnection", "Demande de fermeture de socket"}},
        {-1, {}},
    };
    for (const auto& c : cases) {
        seen.clear();
        sock.SetReportLevel(c.level);
        sock.Disconnect();
        EXPECT_EQ(seen, c.want) << "level " << c.level;
    }
    sock.SetReportLevel(8);
    sock.Cancel();
    EXPECT_EQ(sock.LastStatus(), "Annulation");
}

TEST(PowersockCore, SocketErrorTexts) {
    TPowersock sock(nullptr);
    struct Case {
        std::uint16_t number;
        const char* want;
    } cases[] = {
        {10060, "10060:Connection timed out"},
        {10061, "10061:Connection refused"},
        {11004, "11004:Valid name, no data record of requested type"},
        {12345, "N° d'erreur inconnu 12345"},
        {0, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(sock.SocketErrorStr(c.number), c.want);
}

TEST(PowersockCore, SetWSAErrorReportsWithoutRaising) {
    TPowersock sock(nullptr);
    std::vector<std::pair<int, std::string>> errors;
    sock.OnError = [&](vcl::TComponent*, std::uint16_t no, const std::string& text) {
        errors.emplace_back(no, text);
    };
    sock.SetWSAError(10061, "");
    sock.SetWSAError(10054, "own text");
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0], std::make_pair(10061, std::string("10061:Connection refused")));
    EXPECT_EQ(errors[1], std::make_pair(10054, std::string("own text")));
    EXPECT_EQ(sock.GetLastErrorNo(), 10054);
    EXPECT_EQ(winsock::WSAGetLastError(), 10054);
}

TEST(PowersockCore, ErrorManagerPassesWouldBlockAndLowNumbers) {
    TPowersock sock(nullptr);
    int reported = 0;
    sock.OnError = [&](vcl::TComponent*, std::uint16_t, const std::string&) { ++reported; };
    for (int quiet : {0, 10035, 9999, 10000}) {
        winsock::WSASetLastError(quiet);
        EXPECT_NO_THROW(sock.ErrorManager(10035)) << quiet;
        EXPECT_EQ(sock.GetLastErrorNo(), quiet);
    }
    EXPECT_EQ(reported, 0);
    winsock::WSASetLastError(10054);
    try {
        sock.ErrorManager(10035);
        ADD_FAILURE() << "no exception";
    } catch (const ESockError& e) {
        EXPECT_EQ(e.Message(), "10054:Connection reset by peer");
    }
    EXPECT_EQ(reported, 1);
}

// A throwing OnStatus or OnConnect handler must not disturb the operation that reported.
TEST(PowersockCore, ThrowingHandlersDoNotDisturbTheOperation) {
    ScriptedPeer peer;
    peer.Accept().Expect("HELLO").Reply("200 OK").WaitForClose(5000);
    peer.Start();
    TPowersock sock(nullptr);
    sock.SetReportLevel(8);
    int statuses = 0, connects = 0;
    sock.OnStatus = [&](vcl::TComponent*, const std::string&) {
        ++statuses;
        throw vcl::Exception("status handler fails");
    };
    sock.OnConnect = [&](vcl::TObject*) {
        ++connects;
        throw vcl::Exception("connect handler fails");
    };
    sock.SetHost("127.0.0.1");
    sock.SetPort(peer.Port());
    sock.SetTimeOut(5000);
    ASSERT_NO_THROW(sock.Connect());
    EXPECT_EQ(connects, 1);
    EXPECT_TRUE(sock.Connected());
    EXPECT_EQ(sock.Transaction("HELLO"), "200 OK\r\n");
    EXPECT_EQ(sock.ReplyCode(), 200);
    EXPECT_GT(statuses, 5);
    sock.Disconnect();
    ASSERT_TRUE(peer.Wait(5000));
    EXPECT_TRUE(peer.Ok()) << peer.FailureText();
}

// The peer's close arrives while a line still waits: the component stays connected until the reader has
// taken the bytes.
TEST(PowersockCore, CloseWithBytesWaitingLeavesTheComponentConnected) {
    ScriptedPeer peer;
    peer.Accept().Reply("221 Bye").Close();
    peer.Start();
    TPowersock sock(nullptr);
    int disconnects = 0;
    sock.OnDisconnect = [&](vcl::TObject*) { ++disconnects; };
    sock.SetHost("127.0.0.1");
    sock.SetPort(peer.Port());
    sock.Connect();
    ASSERT_TRUE(peer.Wait(5000));
    testutil::PumpFor(200);  // the close notification is handled here
    EXPECT_TRUE(sock.Connected());
    EXPECT_EQ(disconnects, 0);
    EXPECT_EQ(sock.ReadLn(), "221 Bye\r\n");
    EXPECT_EQ(sock.ReadLn(), "");  // then the close shows
}

TEST(PowersockCore, PeerCloseWithNothingWaitingDisconnects) {
    ScriptedPeer peer;
    peer.Accept().Close();
    peer.Start();
    TPowersock sock(nullptr);
    int disconnects = 0;
    sock.OnDisconnect = [&](vcl::TObject* sender) {
        EXPECT_EQ(sender, &sock);
        ++disconnects;
    };
    sock.SetHost("127.0.0.1");
    sock.SetPort(peer.Port());
    sock.Connect();
    const auto before = sock.Socket();
    EXPECT_TRUE(PumpUntil([&] { return !sock.Connected(); }, 5000));
    EXPECT_EQ(disconnects, 1);
    EXPECT_NE(sock.Socket(), Psock::kNoSocket);  // a fresh socket is ready
    (void)before;
}

TEST(PowersockCore, TimeOutEndsATimedWaitAndZeroMeansNone) {
    ScriptedPeer peer;
    peer.Accept().Stall(3000);
    peer.Start();
    TPowersock sock(nullptr);
    sock.SetHost("127.0.0.1");
    sock.SetPort(peer.Port());
    sock.Connect();

    sock.SetTimeOut(300);
    try {
        sock.ReadLn();
        ADD_FAILURE() << "ReadLn returned on a silent peer";
    } catch (const Psock::EAbortError& e) {
        EXPECT_EQ(e.Message(), "ReadLn de Socket abandonnée");
    }

    // TimeOut 0: only a cancel ends the wait, here one from a timer's handler.
    sock.SetTimeOut(0);
    Psock::TThreadTimer canceller(nullptr);
    canceller.SetInterval(400);
    canceller.SetOnTimer([&](vcl::TObject*) {
        canceller.SetEnabled(false);
        sock.Cancel();
    });
    try {
        sock.ReadLn();
        ADD_FAILURE() << "ReadLn returned on a silent peer";
    } catch (const Psock::EAbortError& e) {
        EXPECT_EQ(e.Message(), "ReadLn de Socket abandonnée");
    }
    EXPECT_FALSE(canceller.Enabled()) << "ended by the cancel, not by a time-out";
}
