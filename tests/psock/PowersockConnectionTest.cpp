// Host resolution, connect, the invalid-host and connection-required handlers, disconnect, addresses.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "net/psock/Psock.h"
#include "psock/PsockTestUtil.h"
#include "support/ScriptedPeer.h"

// After the component's headers: POSIX macros would clash with the Windows Sockets names.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>

using Psock::ESockError;
using Psock::TPowersock;
using testsupport::ScriptedPeer;

namespace {

std::string ConnectError(TPowersock& sock) {
    try {
        sock.Connect();
    } catch (const ESockError& e) {
        return e.Message();
    }
    return "connected";
}

int OpenDescriptors() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}

}  // namespace

TEST(PowersockConnection, ClosedPortFailsAndTheComponentConnectsAfterwards) {
    TPowersock sock(nullptr);
    std::vector<std::string> events;
    sock.OnConnectionFailed = [&](vcl::TObject*) { events.push_back("failed"); };
    sock.OnConnect = [&](vcl::TObject*) { events.push_back("connect"); };
    sock.SetHost("127.0.0.1");
    sock.SetPort(ScriptedPeer::UnusedPort());
    sock.SetTimeOut(5000);
    EXPECT_EQ(ConnectError(sock), "La connection a échoué");
    EXPECT_EQ(events, std::vector<std::string>{"failed"});
    EXPECT_FALSE(sock.Connected());

    ScriptedPeer peer;
    peer.Accept().Reply("220 Ready").WaitForClose(5000);
    peer.Start();
    sock.Disconnect();
    sock.SetPort(peer.Port());
    EXPECT_EQ(ConnectError(sock), "connected");
    EXPECT_EQ(sock.ReadLn(), "220 Ready\r\n");
    EXPECT_EQ(sock.GetRemoteIP(), "127.0.0.1");
    EXPECT_EQ(ConnectError(sock), "Déjà connecté");
    EXPECT_TRUE(sock.Connected());
    sock.Disconnect();
    ASSERT_TRUE(peer.Wait(5000));
    EXPECT_TRUE(peer.Ok()) << peer.FailureText();
}

TEST(PowersockConnection, UnresolvableHostGetsOneRepairAttempt) {
    ScriptedPeer peer;
    peer.Accept().WaitForClose(5000);
    peer.Start();
    struct Case {
        const char* name;
        bool handlerSet;
        bool handled;
        const char* repairedHost;
        int wantCalls;
        const char* want;
    } cases[] = {
        {"no handler", false, false, nullptr, 0, "Adresse distante nulle"},
        {"handler declines", true, false, nullptr, 1, "Adresse distante nulle"},
        {"repair fails too", true, true, "still-wrong.invalid", 1, "Adresse distante nulle"},
        {"repair works", true, true, "127.0.0.1", 1, "connected"},
    };
    for (const auto& c : cases) {
        TPowersock sock(nullptr);
        sock.SetHost("no-such-host.invalid");
        sock.SetPort(peer.Port());
        sock.SetTimeOut(10000);
        int calls = 0;
        if (c.handlerSet)
            sock.OnInvalidHost = [&](bool& handled) {
                ++calls;
                handled = c.handled;
                if (c.repairedHost) sock.SetHost(c.repairedHost);
            };
        EXPECT_EQ(ConnectError(sock), c.want) << c.name;
        EXPECT_EQ(calls, c.wantCalls) << c.name;
    }
    ASSERT_TRUE(peer.Wait(5000));
}

TEST(PowersockConnection, NamesAreLookedUpAndDottedAddressesAreNot) {
    ScriptedPeer peer;
    peer.Accept().WaitForClose(5000).Accept().WaitForClose(5000);
    peer.Start();
    int resolved = 0;
    {
        TPowersock sock(nullptr);
        sock.OnHostResolved = [&](vcl::TComponent*) { ++resolved; };
        sock.SetHost("localhost");
        sock.SetPort(peer.Port());
        sock.SetTimeOut(10000);
        EXPECT_EQ(ConnectError(sock), "connected");
        EXPECT_EQ(resolved, 1);
        EXPECT_EQ(sock.GetRemoteIP(), "127.0.0.1");
    }
    {
        // With a proxy, the proxy and its port are used; the host is not resolved.
        TPowersock sock(nullptr);
        sock.OnHostResolved = [&](vcl::TComponent*) { ++resolved; };
        sock.SetHost("never-resolved.invalid");
        sock.SetPort(1);
        sock.SetProxy("127.0.0.1");
        sock.SetProxyPort(peer.Port());
        EXPECT_EQ(ConnectError(sock), "connected");
        EXPECT_EQ(resolved, 1);
    }
    ASSERT_TRUE(peer.Wait(5000));
    EXPECT_TRUE(peer.Ok()) << peer.FailureText();
}

TEST(PowersockConnection, CertifyConnectGivesTheHandlerOneChance) {
    ScriptedPeer peer;
    peer.Accept().WaitForClose(5000);
    peer.Start();
    TPowersock sock(nullptr);
    sock.SetHost("127.0.0.1");
    sock.SetPort(peer.Port());
    auto certify = [&] {
        try {
            sock.CertifyConnect();
        } catch (const vcl::Exception& e) {
            return e.Message();
        }
        return std::string("ok");
    };
    EXPECT_EQ(certify(), "Non connecté");
    int calls = 0;
    sock.OnConnectionRequired = [&](bool& handled) {
        ++calls;
        handled = true;  // claims to have connected but did not
    };
    EXPECT_EQ(certify(), "Non connecté");
    EXPECT_EQ(calls, 1);
    sock.OnConnectionRequired = [&](bool& handled) {
        ++calls;
        sock.Connect();
        handled = true;
    };
    EXPECT_EQ(certify(), "ok");
    EXPECT_EQ(certify(), "ok");
    EXPECT_EQ(calls, 2) << "a connected component raises no event";
}

TEST(PowersockConnection, DisconnectOpensAFreshSocket) {
    ScriptedPeer peer;
    peer.Accept().WaitForClose(5000).Accept().Reply("again").WaitForClose(5000);
    peer.Start();
    TPowersock sock(nullptr);
    int disconnects = 0;
    sock.OnDisconnect = [&](vcl::TObject*) { ++disconnects; };
    sock.SetHost("127.0.0.1");
    sock.SetPort(peer.Port());
    sock.Connect();
    sock.Disconnect();
    EXPECT_EQ(disconnects, 1);
    EXPECT_FALSE(sock.Connected());
    EXPECT_FALSE(sock.DataAvailable());
    sock.Connect();
    EXPECT_EQ(sock.ReadLn(), "again\r\n");
    sock.Disconnect();
    ASSERT_TRUE(peer.Wait(5000));
    EXPECT_TRUE(peer.Ok()) << peer.FailureText();
}

TEST(PowersockConnection, AddressAndPortTextsOfThePortCommand) {
    ScriptedPeer peer;
    peer.Accept().WaitForClose(5000);
    peer.Start();
    TPowersock sock(nullptr);
    sock.SetHost("127.0.0.1");
    sock.SetPort(peer.Port());
    sock.Connect();
    EXPECT_EQ(sock.GetLocalAddress(), "127,0,0,1");
    sockaddr_in local{};
    socklen_t len = sizeof local;
    ASSERT_EQ(getsockname(sock.Socket(), reinterpret_cast<sockaddr*>(&local), &len), 0);
    const unsigned port = ntohs(local.sin_port);
    EXPECT_EQ(sock.GetPortString(), "," + std::to_string(port / 256) + "," + std::to_string(port % 256));
    sock.Disconnect();
    ASSERT_TRUE(peer.Wait(5000));
}

TEST(PowersockConnection, ThousandCyclesLeakNoDescriptor) {
    constexpr int kCycles = 1000;
    ScriptedPeer peer;
    for (int i = 0; i < kCycles; ++i) peer.Accept().Close();
    peer.Start();
    TPowersock sock(nullptr);
    sock.SetHost("127.0.0.1");
    sock.SetPort(peer.Port());
    sock.SetTimeOut(5000);
    sock.Connect();
    sock.Disconnect();
    const int before = OpenDescriptors();
    for (int i = 1; i < kCycles; ++i) {
        ASSERT_NO_THROW(sock.Connect()) << "cycle " << i;
        sock.Disconnect();
    }
    ASSERT_TRUE(peer.Wait(10000));
    testutil::PumpFor(50);
    EXPECT_EQ(OpenDescriptors(), before);
}
