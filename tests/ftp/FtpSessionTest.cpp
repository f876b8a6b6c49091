// Login, logout and reply reading against scripted dialogues.
#include <gtest/gtest.h>

#include "ftp/FtpTestUtil.h"
#include "psock/PsockTestUtil.h"

using ftptest::FtpDialogue;
using ftptest::kPass;
using ftptest::kUser;
using testsupport::ScriptedPeer;

namespace {

const std::string kUserLine = std::string("USER ") + kUser;
const std::string kPassLine = std::string("PASS ") + kPass;

struct LoginCase {
    const char* name;
    std::function<void(NMFtp::TNMFTP&)> setup;
    std::function<void(ScriptedPeer&)> script;  // after Accept
    const char* want;                           // "ok" or the exception's message
    std::vector<std::string> wantEvents;
};

}  // namespace

TEST(FtpSession, LoginDialogues) {
    const std::vector<LoginCase> cases = {
        {"plain login",
         nullptr,
         [](ScriptedPeer& p) {
             p.Reply("220 Ready").Expect(kUserLine).Reply("331 Pass").Expect(kPassLine).Reply("230 In");
         },
         "ok",
         {"connect"}},
        {"multi-line greeting read whole",
         nullptr,
         [](ScriptedPeer& p) {
             p.Reply("220-Welcome").Reply(" indented").Reply("220-more").Reply("x").Reply("220 ready");
             // "x" ends the reading (neither a space first nor "-" fourth); the rest stays waiting.
             p.Expect(kUserLine).Reply("230 In");
         },
         "ok",
         {"connect"}},
        {"USER answered 230: no PASS",
         nullptr,
         [](ScriptedPeer& p) { p.Reply("220 Ready").Expect(kUserLine).Reply("230 In"); },
         "ok",
         {"connect"}},
        {"400 passes a login step",
         nullptr,
         [](ScriptedPeer& p) { p.Reply("220 Ready").Expect(kUserLine).Reply("400 odd"); },
         "ok",
         {"connect"}},
        {"greeting 421",
         nullptr,
         [](ScriptedPeer& p) { p.Reply("421 Too many users").Expect("QUIT").Reply("221 Bye"); },
         "421 Too many users\r\n",
         {"failed", "disconnect"}},
        {"wrong password",
         nullptr,
         [](ScriptedPeer& p) {
             p.Reply("220 Ready")
                 .Expect(kUserLine)
                 .Reply("331 Pass")
                 .Expect(kPassLine)
                 .Reply("530 Login incorrect.");
             p.Expect("QUIT").Reply("221 Bye");
         },
         "530 Login incorrect.\r\n",
         {"failed", "disconnect"}},
        {"proxy, USER user@host",
         [](NMFtp::TNMFTP& f) {
             f.SetProxy("127.0.0.1");
             f.SetProxyPort(f.Port());
             f.SetHost("ftp.example.invalid");
         },
         [](ScriptedPeer& p) {
             p.Reply("220 Proxy")
                 .Expect(std::string("USER ") + kUser + "@ftp.example.invalid")
                 .Reply("331 Pass");
             p.Expect(kPassLine).Reply("230 In");
         },
         "ok",
         {"connect"}},
        {"proxy, SITE host then USER",
         [](NMFtp::TNMFTP& f) {
             f.SetProxy("127.0.0.1");
             f.SetProxyPort(f.Port());
             f.SetHost("ftp.example.invalid");
             f.SetFirewallType(NMFtp::FtSite);
         },
         [](ScriptedPeer& p) {
             p.Reply("220 Proxy").Expect("SITE ftp.example.invalid").Reply("500 whatever, not tested");
             p.Expect(kUserLine).Reply("331 Pass").Expect(kPassLine).Reply("230 In");
         },
         "ok",
         {"connect"}},
        {"proxy, OPEN host then USER",
         [](NMFtp::TNMFTP& f) {
             f.SetProxy("127.0.0.1");
             f.SetProxyPort(f.Port());
             f.SetHost("ftp.example.invalid");
             f.SetFirewallType(NMFtp::FtOpen);
         },
         [](ScriptedPeer& p) {
             p.Reply("220 Proxy").Expect("OPEN ftp.example.invalid").Reply("220 Open");
             p.Expect(kUserLine).Reply("230 In");
         },
         "ok",
         {"connect"}},
        {"firewall login without proxy",
         [](NMFtp::TNMFTP& f) {
             f.SetFWAuthenticate(true);
             f.SetFWUserID("fw");
             f.SetFWPassword("fwpass");
         },
         [](ScriptedPeer& p) {
             p.Reply("220 Ready")
                 .Expect("USER fw")
                 .Reply("331 Pass")
                 .Expect("PASS fwpass")
                 .Reply("230 fw ok");
             p.Expect(kUserLine).Reply("331 Pass").Expect(kPassLine).Reply("230 In");
         },
         "ok",
         {"connect"}},
        {"firewall password refused",
         [](NMFtp::TNMFTP& f) {
             f.SetFWAuthenticate(true);
             f.SetFWUserID("fw");
             f.SetFWPassword("fwpass");
         },
         [](ScriptedPeer& p) {
             p.Reply("220 Ready").Expect("USER fw").Reply("331 Pass").Expect("PASS fwpass").Reply("530 no");
             p.Expect("QUIT").Reply("221 Bye");
         },
         "530 no\r\n",
         {"failed", "disconnect"}},
        {"reply without digits succeeds",
         nullptr,
         [](ScriptedPeer& p) { p.Reply("Hello there").Expect(kUserLine).Reply("welcome"); },
         "ok",
         {"connect"}},
        {"server closes during login",
         nullptr,
         [](ScriptedPeer& p) { p.Reply("220 Ready").Expect(kUserLine).Close(); },
         "Connexion fermée par le serveur",
         {"disconnect", "failed"}},
        {"server closes instead of greeting",
         nullptr,
         [](ScriptedPeer& p) { p.Close(); },
         "Connexion fermée par le serveur",
         {"disconnect", "failed"}},
    };
    for (const auto& c : cases) {
        FtpDialogue d;
        if (c.setup) c.setup(*d.ftp);
        d.peer.Accept();
        c.script(d.peer);
        d.peer.Start();
        EXPECT_EQ(FtpDialogue::Outcome([&] { d.ftp->Connect(); }), c.want) << c.name;
        EXPECT_EQ(d.events, c.wantEvents) << c.name;
        if (std::string(c.want) != "ok") {
            EXPECT_TRUE(d.SawStatus("Déconnecté")) << c.name;
            EXPECT_FALSE(d.ftp->Connected()) << c.name;
        }
        ASSERT_TRUE(d.peer.Wait(5000)) << c.name;
        EXPECT_TRUE(d.peer.Ok()) << c.name << ": " << d.peer.FailureText();
        for (const auto& s : d.statuses) {
            EXPECT_EQ(s.find(kPass), std::string::npos) << c.name << ": password in status " << s;
            EXPECT_EQ(s.find("fwpass"), std::string::npos) << c.name << ": password in status " << s;
        }
    }
}

TEST(FtpSession, ConnectWhenConnectedAndDisconnectWhenNotDoNothing) {
    FtpDialogue d;
    d.peer.Accept().Reply("220 Ready").Expect(kUserLine).Reply("230 In").Expect("QUIT").Reply("221 Bye");
    d.peer.Start();
    d.ftp->Connect();
    d.ftp->Connect();
    EXPECT_EQ(d.events, std::vector<std::string>{"connect"});
    d.ftp->Disconnect();
    d.ftp->Disconnect();
    EXPECT_EQ(d.events, (std::vector<std::string>{"connect", "disconnect"}));
    ASSERT_TRUE(d.peer.Wait(5000));
    EXPECT_TRUE(d.peer.Ok()) << d.peer.FailureText();
}

TEST(FtpSession, QuitRefusedClosesThenRaises) {
    FtpDialogue d;
    d.peer.Accept()
        .Reply("220 Ready")
        .Expect(kUserLine)
        .Reply("230 In")
        .Expect("QUIT")
        .Reply("500 No quitting");
    d.peer.Start();
    d.ftp->Connect();
    EXPECT_EQ(FtpDialogue::Outcome([&] { d.ftp->Disconnect(); }), "500 No quitting\r\n");
    EXPECT_EQ(d.events, (std::vector<std::string>{"connect", "disconnect"}));
    EXPECT_FALSE(d.ftp->Connected());
    ASSERT_TRUE(d.peer.Wait(5000));
}

TEST(FtpSession, ThrowingOnConnectEndsInLogout) {
    FtpDialogue d;
    d.peer.Accept().Reply("220 Ready").Expect(kUserLine).Reply("230 In").Expect("QUIT").Reply("221 Bye");
    d.peer.Start();
    d.ftp->OnConnect = [](vcl::TObject*) { throw vcl::Exception("handler refuses"); };
    EXPECT_EQ(FtpDialogue::Outcome([&] { d.ftp->Connect(); }), "handler refuses");
    EXPECT_FALSE(d.ftp->Connected());
    EXPECT_TRUE(d.SawStatus("Déconnecté"));
    ASSERT_TRUE(d.peer.Wait(5000));
    EXPECT_TRUE(d.peer.Ok()) << d.peer.FailureText();
}

TEST(FtpSession, ContinuationLinesShortEmptyOrCutOffEndCleanly) {
    struct Case {
        const char* name;
        std::function<void(ScriptedPeer&)> reply;
        const char* want;
    } cases[] = {
        {"short continuation", [](ScriptedPeer& p) { p.Reply("200-First").Reply("ab").Reply("200 end"); },
         "ok"},
        {"empty continuation", [](ScriptedPeer& p) { p.Reply("200-First").Reply("").Reply("200 end"); },
         "ok"},
        {"closed in the middle", [](ScriptedPeer& p) { p.Reply("200-First").Reply(" more").Close(); }, "ok"},
    };
    for (const auto& c : cases) {
        FtpDialogue d;
        d.peer.Accept().Reply("220 Ready").Expect(kUserLine).Reply("230 In").Expect("NOOP");
        c.reply(d.peer);
        d.peer.Start();
        d.ftp->Connect();
        EXPECT_EQ(FtpDialogue::Outcome([&] { d.ftp->DoCommand("NOOP"); }), c.want) << c.name;
        EXPECT_EQ(d.ftp->ReplyCode(), 200) << c.name;
        ASSERT_TRUE(d.peer.Wait(5000)) << c.name;
    }
}

TEST(FtpSession, OverlongReplyDuringLoginFailsClearlyAndLogsOut) {
    FtpDialogue d;
    d.peer.Accept().Reply("220 Ready").Expect(kUserLine).Send(std::string(70000, 'r')).Reply("");
    d.peer.Expect("QUIT").Reply("221 Bye");
    d.peer.Start();
    const std::string outcome = FtpDialogue::Outcome([&] { d.ftp->Connect(); });
    EXPECT_NE(outcome.find("Ligne trop longue"), std::string::npos) << outcome.substr(0, 200);
    EXPECT_TRUE(d.SawStatus("Déconnecté"));
    EXPECT_FALSE(d.ftp->Connected());
    ASSERT_TRUE(d.peer.Wait(5000));
}
