// Line and buffer input and output against a scripted peer.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "net/psock/Psock.h"
#include "psock/PsockTestUtil.h"
#include "support/ScriptedPeer.h"

using Psock::EAbortError;
using Psock::ESockError;
using Psock::TPowersock;
using testsupport::ScriptedPeer;

namespace {

// A component connected to a peer whose script the test writes before Start.
struct Connected {
    ScriptedPeer peer;
    std::unique_ptr<TPowersock> sock;

    void Start(int timeOut = 5000) {
        peer.Start();
        sock = std::make_unique<TPowersock>(nullptr);
        sock->SetHost("127.0.0.1");
        sock->SetPort(peer.Port());
        sock->SetTimeOut(timeOut);
        sock->Connect();
    }
    void Finish() {
        ASSERT_TRUE(peer.Wait(5000));
        EXPECT_TRUE(peer.Ok()) << peer.FailureText();
    }
};

template <typename Ex, typename F>
std::string MessageOf(F&& f) {
    try {
        f();
    } catch (const Ex& e) {
        return e.Message();
    }
    return "no exception";
}

}  // namespace

TEST(PowersockIO, LinesKeepTheirEndsAndLeaveTheRestWaiting) {
    Connected c;
    c.peer.Accept()
        .Send("220 Ready\r\n331 Password\r\nbare\nstop")
        .Stall(100)
        .SendInPieces("22", 2, 0)
        .Stall(100)
        .Send("0 Ready\r\n")
        .WaitForClose(5000);
    c.Start();
    EXPECT_EQ(c.sock->ReadLn(), "220 Ready\r\n");
    EXPECT_TRUE(c.sock->DataAvailable());
    EXPECT_EQ(c.sock->ReadLn(), "331 Password\r\n");
    EXPECT_EQ(c.sock->ReadLn(), "bare\n");
    EXPECT_EQ(c.sock->Read(4), "stop");
    EXPECT_EQ(c.sock->ReadLn(), "220 Ready\r\n") << "a line arriving in pieces is returned once, whole";
    EXPECT_FALSE(c.sock->DataAvailable());
    c.sock->Disconnect();
    c.Finish();
}

TEST(PowersockIO, PeerCloseDropsAPartialLine) {
    Connected c;
    c.peer.Accept().Send("partial line without end").Stall(100).Close();
    c.Start();
    EXPECT_EQ(c.sock->ReadLn(), "");
    // Nothing waits any more, so the close notification disconnects the component.
    EXPECT_TRUE(testutil::PumpUntil([&] { return !c.sock->Connected(); }, 5000));
    c.Finish();
}

TEST(PowersockIO, TransactionReadsTheReplyAndItsCode) {
    Connected c;
    c.peer.Accept()
        .Expect("NOOP")
        .Reply("200 OK")
        .Expect("HELP")
        .Reply("Not a number")
        .Expect("BIG")
        .Reply("99999 too big for a reply code")
        .Expect("QUIT")
        .Close();
    c.Start();
    std::vector<std::string> level1;
    c.sock->OnStatus = [&](vcl::TComponent*, const std::string& s) { level1.push_back(s); };
    EXPECT_EQ(c.sock->Transaction("NOOP"), "200 OK\r\n");
    EXPECT_EQ(c.sock->ReplyCode(), 200);
    EXPECT_EQ(c.sock->LastReply(), "200 OK\r\n");
    EXPECT_EQ(level1, std::vector<std::string>{"200 OK\r\n"});
    c.sock->Transaction("HELP");
    EXPECT_EQ(c.sock->ReplyCode(), 0);
    c.sock->Transaction("BIG");
    EXPECT_EQ(c.sock->ReplyCode(), 0);
    EXPECT_EQ(c.sock->Transaction("QUIT"), "");
    EXPECT_EQ(c.sock->ReplyCode(), 0);
    c.Finish();
}

TEST(PowersockIO, WriteStopsAtAZeroAndSendsLongTextsWhole) {
    const std::string big(200000, 'x');
    Connected c;
    c.peer.Accept().ReadBytes(3, 5000).ReadBytes(big.size(), 5000).Expect("line");
    c.Start();
    c.sock->Write(std::string("abc\0def", 7));
    c.sock->Write(big);
    c.sock->Writeln("line");
    c.Finish();  // before the close: the first socket of a component resets when closed
    const std::string bytes = c.peer.Bytes();
    EXPECT_EQ(bytes.size(), 3 + big.size());
    EXPECT_TRUE(bytes == "abc" + big);
}

TEST(PowersockIO, ReadWaitsForItsCountAndReadZeroTakesWhatWaits) {
    const std::string block(100000, 'b');
    Connected c;
    c.peer.Accept().Stall(300).Send("abc").Stall(200).Send("de").Stall(100).Send(block).WaitForClose(5000);
    c.Start();
    EXPECT_EQ(c.sock->Read(0), "");  // nothing waits yet: no error, no wait
    EXPECT_EQ(c.sock->Read(5), "abcde");
    // Counts beyond the 64 KiB buffer are read whole.
    EXPECT_TRUE(c.sock->Read(static_cast<std::uint32_t>(block.size())) == block);
    c.sock->Disconnect();
    c.Finish();
}

TEST(PowersockIO, LineFillingTheBufferIsReadAndALongerOneFailsClearly) {
    const std::string exact(65535, 'a');  // + LF: exactly the 64 KiB buffer
    const std::string tooLong(70000, 'z');
    Connected c;
    c.peer.Accept().Send(exact + "\n").Send(tooLong).WaitForClose(5000);
    c.Start();
    EXPECT_EQ(c.sock->ReadLn(), exact + "\n");
    const std::string message = MessageOf<ESockError>([&] { c.sock->ReadLn(); });
    EXPECT_NE(message.find("Ligne trop longue"), std::string::npos) << message;
    c.sock->Disconnect();
    c.Finish();
}

TEST(PowersockIO, ResetByPeerIsReportedAndRaised) {
    Connected c;
    c.peer.Accept().Expect("HELLO").Reset();
    c.Start();
    std::vector<int> errors;
    c.sock->OnError = [&](vcl::TComponent*, std::uint16_t no, const std::string&) { errors.push_back(no); };
    c.sock->Writeln("HELLO");
    ASSERT_TRUE(c.peer.Wait(5000));
    win32::Sleep(100);  // the reset has arrived; no message processed yet
    EXPECT_EQ(MessageOf<ESockError>([&] { c.sock->ReadLn(); }), "10054:Connection reset by peer");
    EXPECT_EQ(errors, std::vector<int>{10054});
}

TEST(PowersockIO, CancelFromAHandlerEndsReadLn) {
    Connected c;
    c.peer.Accept().Stall(5000);
    c.Start(0);
    Psock::TThreadTimer canceller(nullptr);
    canceller.SetInterval(100);
    canceller.SetOnTimer([&](vcl::TObject*) {
        canceller.SetEnabled(false);
        c.sock->Cancel();
    });
    EXPECT_EQ(MessageOf<EAbortError>([&] { c.sock->ReadLn(); }), "ReadLn de Socket abandonnée");
    // The cancel was reported and cleared: the next operation starts clean.
    c.sock->Disconnect();
    c.peer.Stop();
}

TEST(PowersockIO, SendToAPeerThatNeverReadsEndsOnTimeOut) {
    Connected c;
    c.peer.Accept().Stall(10000);
    c.Start(500);
    const std::string huge(64 * 1024 * 1024, 'h');
    EXPECT_EQ(MessageOf<EAbortError>([&] { c.sock->Write(huge); }), "Envoi de Socket abandonné");
    c.sock->Disconnect();
    c.peer.Stop();
}

TEST(PowersockIO, DataAvailableAndReadLnOnAnUnconnectedSocket) {
    TPowersock sock(nullptr);
    EXPECT_FALSE(sock.DataAvailable());
    EXPECT_EQ(sock.ReadLn(), "");  // "not connected" gives the empty line
    sock.ClearInput();
}

TEST(PowersockIO, ClearInputDropsWhatWaits) {
    Connected c;
    c.peer.Accept().Send("stale reply\r\n").Stall(200).Send("fresh\r\n").WaitForClose(5000);
    c.Start();
    ASSERT_TRUE(testutil::PumpUntil([&] { return c.sock->DataAvailable(); }, 5000));
    c.sock->ClearInput();
    EXPECT_EQ(c.sock->ReadLn(), "fresh\r\n");
    c.sock->Disconnect();
    c.Finish();
}
