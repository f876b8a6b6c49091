// List and Nlist against scripted dialogues: line ends, detection, refusals, nesting, silence.
#include <gtest/gtest.h>

#include "ftp/FtpTestUtil.h"

using ftptest::FtpDialogue;
using ftptest::kUser;
using ftptest::Login;
using NMFtp::TNMFTP;
using testsupport::ScriptedPeer;

namespace {

// An active listing: PORT, the command, the server connects, sends the bytes, closes, completes.
void ActiveListing(ScriptedPeer& p, const char* command, const std::string& bytes,
                   const char* completion = "226 Transfer complete") {
    p.ExpectPort().Expect(command).Reply("150 Here it comes").DataConnect().DataSend(bytes).DataClose();
    p.Reply(completion);
}

}  // namespace

TEST(FtpListing, LineEndsAreCutByTheRule) {
    FtpDialogue d;
    Login(d);
    ActiveListing(d.peer, "LIST", "crlf line\r\nlf line\nab\na\n\r\n");
    d.peer.Start();
    d.ftp->Connect();
    std::vector<std::string> items;
    d.ftp->OnListItem = [&](const std::string& line) { items.push_back(line); };
    ASSERT_EQ(FtpDialogue::Outcome([&] { d.ftp->List(); }), "ok");
    EXPECT_EQ(items, (std::vector<std::string>{"crlf line", "lf line", "ab", "a\n", "\r\n"}));
    EXPECT_EQ(d.events.back(), "success 4");
    ASSERT_TRUE(d.peer.Wait(5000));
    EXPECT_TRUE(d.peer.Ok()) << d.peer.FailureText();
}

TEST(FtpListing, SystDetectionChoosesTheParser) {
    struct Case {
        const char* syst;
        int vendor;
    } cases[] = {
        {"215 UNIX Type: L8", 2400}, {"215 VMS system", 2406},          {"215 NetWare system", 2410},
        {"215 Windows_NT", 2410},    {"500 SYST not understood", 2410},
    };
    for (const auto& c : cases) {
        FtpDialogue d;
        Login(d);
        d.peer.Expect("SYST").Reply(c.syst);
        ActiveListing(d.peer, "LIST", "-rw-r--r-- 1 u g 12 Dec 11 07:00 a.txt\r\n");
        d.peer.Start();
        d.ftp->Connect();
        d.ftp->SetParseList(true);
        EXPECT_EQ(FtpDialogue::Outcome([&] { d.ftp->List(); }), "ok") << c.syst;
        EXPECT_EQ(d.ftp->Vendor(), c.vendor) << c.syst;
        ASSERT_NE(d.ftp->ListParser(), nullptr) << c.syst;
        ASSERT_TRUE(d.peer.Wait(5000)) << c.syst;
        EXPECT_TRUE(d.peer.Ok()) << c.syst << ": " << d.peer.FailureText();
    }
}

TEST(FtpListing, RefusedListReportsAndSecondListIsRefusedWhileOneRuns) {
    {
        FtpDialogue d;
        Login(d);
        d.peer.ExpectPort().Expect("LIST").Reply("502 Not implemented");
        d.peer.Start();
        d.ftp->Connect();
        d.events.clear();
        EXPECT_EQ(FtpDialogue::Outcome([&] { d.ftp->List(); }), "502 Not implemented\r\n");
        EXPECT_EQ(d.events, std::vector<std::string>{"unsupported 4"});
        ASSERT_TRUE(d.peer.Wait(5000));
    }
    {
        FtpDialogue d;
        Login(d);
        ActiveListing(d.peer, "LIST", "one\r\ntwo\r\n");
        d.peer.Start();
        d.ftp->Connect();
        std::vector<std::string> nested;
        d.ftp->OnListItem = [&](const std::string&) {
            nested.push_back(FtpDialogue::Outcome([&] { d.ftp->List(); }));
        };
        EXPECT_EQ(FtpDialogue::Outcome([&] { d.ftp->List(); }), "ok");
        EXPECT_EQ(nested, std::vector<std::string>(2, "A list command is already being processed!"));
        ASSERT_TRUE(d.peer.Wait(5000));
    }
}

TEST(FtpListing, FailingCompletionIsNotASuccess) {
    FtpDialogue d;
    Login(d);
    ActiveListing(d.peer, "LIST", "x\r\n", "426 Connection closed; transfer aborted");
    d.peer.Start();
    d.ftp->Connect();
    d.events.clear();
    EXPECT_EQ(FtpDialogue::Outcome([&] { d.ftp->List(); }), "426 Connection closed; transfer aborted\r\n");
    EXPECT_TRUE(d.events.empty());
    ASSERT_TRUE(d.peer.Wait(5000));
}

TEST(FtpListing, NlistIsAlwaysActiveAndCountsItsBytes) {
    FtpDialogue d;
    Login(d);
    ActiveListing(d.peer, "NLST", "abcdefgh\r\nijklmnop\r\nqrstuvwx\r\n");
    d.peer.Start();
    d.ftp->Connect();
    d.ftp->SetPassive(true);
    std::vector<std::string> items;
    d.ftp->OnListItem = [&](const std::string& line) { items.push_back(line); };
    ASSERT_EQ(FtpDialogue::Outcome([&] { d.ftp->Nlist(); }), "ok");
    EXPECT_EQ(items, (std::vector<std::string>{"abcdefgh", "ijklmnop", "qrstuvwx"}));
    EXPECT_EQ(d.ftp->BytesTotal(), 30);
    EXPECT_TRUE(d.SawStatus("Reçu 30 Octets"));
    ASSERT_TRUE(d.peer.Wait(5000));
    EXPECT_TRUE(d.peer.Ok()) << d.peer.FailureText();
}

TEST(FtpListing, SilentDataConnectionEndsAfterTimeOut) {
    FtpDialogue d;
    Login(d);
    d.peer.ExpectPort().Expect("LIST").Reply("150 Here").DataConnect().DataSend("first\r\n").Stall(3000);
    d.peer.Start();
    d.ftp->Connect();
    d.ftp->SetTimeOut(300);
    std::vector<std::string> items;
    d.ftp->OnListItem = [&](const std::string& line) { items.push_back(line); };
    EXPECT_EQ(FtpDialogue::Outcome([&] { d.ftp->List(); }), "Transfert abandonné");
    EXPECT_EQ(items, std::vector<std::string>{"first"});
    d.peer.Stop();
}

TEST(FtpListing, GarbageAndOverlongLinesOnTheDataConnection) {
    FtpDialogue d;
    Login(d);
    std::string garbage;
    for (int i = 0; i < 2000; ++i) garbage += static_cast<char>(i % 256);  // NULs, CRs and LFs among them
    d.peer.ExpectPort().Expect("LIST").Reply("150 Here").DataConnect().DataSend(garbage + "\n");
    d.peer.DataSend(std::string(70000, 'z')).Stall(3000);
    d.peer.Start();
    d.ftp->Connect();
    d.ftp->SetParseList(true);
    d.ftp->SetVendor(NMFtp::vendorUnix);  // no SYST: parse as a Unix listing
    std::size_t bytes = 0;
    d.ftp->OnListItem = [&](const std::string& line) { bytes += line.size(); };
    const std::string outcome = FtpDialogue::Outcome([&] { d.ftp->List(); });
    EXPECT_NE(outcome.find("Ligne trop longue"), std::string::npos) << outcome.substr(0, 100);
    EXPECT_GT(bytes, 1500u) << "the garbage lines reached the handler";
    d.peer.Stop();
}
