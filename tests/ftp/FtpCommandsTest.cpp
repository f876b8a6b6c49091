// Single commands against scripted replies: the command sent, the report made, the result.
#include <gtest/gtest.h>

#include "ftp/FtpTestUtil.h"
#include "platform/vcl/Forms.h"

using ftptest::FtpDialogue;
using ftptest::kUser;
using ftptest::Login;
using NMFtp::TNMFTP;
using testsupport::ScriptedPeer;

TEST(FtpCommands, CommandsTheirReportsAndFailingCodes) {
    struct Case {
        const char* name;
        std::function<void(TNMFTP&)> op;
        const char* sent;  // nullptr: nothing is sent
        const char* reply;
        const char* want;
        std::vector<std::string> wantEvents;
    } cases[] = {
        {"ChangeDir",
         [](TNMFTP& f) { f.ChangeDir("memoire"); },
         "CWD memoire",
         "250 OK",
         "ok",
         {"success 0"}},
        {"ChangeDir empty", [](TNMFTP& f) { f.ChangeDir(""); }, "CWD ", "250 OK", "ok", {"success 0"}},
        {"MakeDirectory 502",
         [](TNMFTP& f) { f.MakeDirectory("d"); },
         "MKD d",
         "502 Not implemented",
         "502 Not implemented\r\n",
         {"unsupported 1"}},
        {"RemoveDir", [](TNMFTP& f) { f.RemoveDir("d"); }, "RMD d", "250 Gone", "ok", {"success 3"}},
        {"Delete 550",
         [](TNMFTP& f) { f.Delete("f"); },
         "DELE f",
         "550 No such file",
         "550 No such file\r\n",
         {}},
        {"399 succeeds", [](TNMFTP& f) { f.DoCommand("NOOP"); }, "NOOP", "399 odd", "ok", {"success 14"}},
        {"400 fails", [](TNMFTP& f) { f.DoCommand("NOOP"); }, "NOOP", "400 odd", "400 odd\r\n", {}},
        {"599 fails", [](TNMFTP& f) { f.DoCommand("NOOP"); }, "NOOP", "599 odd", "599 odd\r\n", {}},
        {"600 succeeds", [](TNMFTP& f) { f.DoCommand("NOOP"); }, "NOOP", "600 odd", "ok", {"success 14"}},
        {"no digits succeed", [](TNMFTP& f) { f.DoCommand("NOOP"); }, "NOOP", "fine", "ok", {"success 14"}},
        {"unknown command",
         [](TNMFTP& f) { f.DoCommand("XYZZY"); },
         "XYZZY",
         "500 Unknown command.",
         "500 Unknown command.\r\n",
         {"unsupported 14"}},
        {"lower-case word", [](TNMFTP& f) { f.DoCommand("cwd x"); }, "cwd x", "250 OK", "ok", {"success 14"}},
        {"CWD alone", [](TNMFTP& f) { f.DoCommand("CWD"); }, "CWD", "250 OK", "ok", {"success 0"}},
        {"PWD with a space",
         [](TNMFTP& f) { f.DoCommand("PWD "); },
         "PWD ",
         "257 \"/\"",
         "ok",
         {"success 14"}},
        {"Mode 1", [](TNMFTP& f) { f.Mode(1); }, "TYPE A", "200 OK", "ok", {"success 14"}},
        {"Mode 2", [](TNMFTP& f) { f.Mode(2); }, "TYPE I", "200 OK", "ok", {"success 14"}},
        {"Mode 3", [](TNMFTP& f) { f.Mode(3); }, "TYPE L 8", "200 OK", "ok", {"success 14"}},
        {"Mode 0", [](TNMFTP& f) { f.Mode(0); }, nullptr, nullptr, "ok", {}},
        {"Mode 4", [](TNMFTP& f) { f.Mode(4); }, nullptr, nullptr, "ok", {}},
        {"Reinitialize", [](TNMFTP& f) { f.Reinitialize(); }, "REIN", "220 Again", "ok", {"success 14"}},
        {"Allocate negative",
         [](TNMFTP& f) { f.Allocate(-12); },
         "ALLO -12",
         "202 Superfluous",
         "ok",
         {"success 14"}},
    };
    for (const auto& c : cases) {
        FtpDialogue d;
        Login(d);
        if (c.sent) d.peer.Expect(c.sent).Reply(c.reply);
        d.peer.Start();
        d.ftp->Connect();
        d.events.clear();
        EXPECT_EQ(FtpDialogue::Outcome([&] { c.op(*d.ftp); }), c.want) << c.name;
        EXPECT_EQ(d.events, c.wantEvents) << c.name;
        ASSERT_TRUE(d.peer.Wait(5000)) << c.name;
        EXPECT_TRUE(d.peer.Ok()) << c.name << ": " << d.peer.FailureText();
        if (c.sent) {
            EXPECT_TRUE(d.SawStatus(c.sent)) << c.name << ": the command is reported";
        }
    }
}

TEST(FtpCommands, GetCurrentDirTakesTheQuotedFolder) {
    struct Case {
        const char* reply;
        const char* want;
    } cases[] = {
        {"257 \"/memoire/quil\" is current directory", "/memoire/quil"},
        {"257 no quotes at all", ""},
        {"257 \"/only/one", "/only/one\r\n"},
        {"257 \"/a\"\"b\" doubled quote", "/a"},
    };
    for (const auto& c : cases) {
        FtpDialogue d;
        Login(d);
        d.peer.Expect("PWD").Reply(c.reply);
        d.peer.Start();
        d.ftp->Connect();
        EXPECT_EQ(d.ftp->GetCurrentDir(), c.want) << c.reply;
        ASSERT_TRUE(d.peer.Wait(5000));
    }
}

TEST(FtpCommands, FailureHandledByOnFailureRaisesNothingAndReportsNoSuccess) {
    FtpDialogue d;
    Login(d);
    d.peer.Expect("DELE x").Reply("550 Nope");
    d.peer.Start();
    d.ftp->Connect();
    d.events.clear();
    d.ftp->OnFailure = [&](bool& handled, NMFtp::TCmdType t) {
        d.events.push_back("failure " + std::to_string(t));
        handled = true;
    };
    EXPECT_EQ(FtpDialogue::Outcome([&] { d.ftp->Delete("x"); }), "ok");
    EXPECT_EQ(d.events, std::vector<std::string>{"failure 2"});
    ASSERT_TRUE(d.peer.Wait(5000));
}

TEST(FtpCommands, RenameGoesOnAfterAHandledRefusal) {
    FtpDialogue d;
    Login(d);
    d.peer.Expect("RNFR a").Reply("550 No a").Expect("RNTO b").Reply("250 Renamed");
    d.peer.Expect("RNFR c").Reply("350 Ready").Expect("RNTO d").Reply("250 Renamed");
    d.peer.Start();
    d.ftp->Connect();
    d.events.clear();
    d.ftp->OnFailure = [&](bool& handled, NMFtp::TCmdType t) {
        d.events.push_back("failure " + std::to_string(t));
        handled = true;
    };
    d.ftp->Rename("a", "b");
    d.ftp->Rename("c", "d");
    EXPECT_EQ(d.events, (std::vector<std::string>{"failure 5", "success 5", "success 5"}));
    ASSERT_TRUE(d.peer.Wait(5000));
    EXPECT_TRUE(d.peer.Ok()) << d.peer.FailureText();
}

TEST(FtpCommands, StaleReplyIsDrainedBeforeTheNextCommand) {
    FtpDialogue d;
    Login(d);
    d.peer.Expect("NOOP")
        .Reply("200-First")
        .Reply("middle line ends the reading")
        .Reply("200 stale closing line");
    d.peer.Expect("PWD").Reply("257 \"/x\"");
    d.peer.Start();
    d.ftp->Connect();
    d.ftp->DoCommand("NOOP");
    vcl::Application->ProcessMessagesWaiting(100);
    EXPECT_EQ(d.ftp->GetCurrentDir(), "/x");
    ASSERT_TRUE(d.peer.Wait(5000));
}

TEST(FtpCommands, EveryOperationNeedsAConnectionAndSendsNothingWithout) {
    const std::vector<std::function<void(TNMFTP&)>> ops = {
        [](TNMFTP& f) { f.DoCommand("NOOP"); },  [](TNMFTP& f) { f.ChangeDir("x"); },
        [](TNMFTP& f) { f.MakeDirectory("x"); }, [](TNMFTP& f) { f.RemoveDir("x"); },
        [](TNMFTP& f) { f.Delete("x"); },        [](TNMFTP& f) { f.Rename("x", "y"); },
        [](TNMFTP& f) { f.GetCurrentDir(); },    [](TNMFTP& f) { f.Mode(1); },
        [](TNMFTP& f) { f.Reinitialize(); },     [](TNMFTP& f) { f.Allocate(1); },
    };
    TNMFTP ftp(nullptr);
    int required = 0;
    ftp.OnConnectionRequired = [&](bool&) { ++required; };
    for (std::size_t i = 0; i < ops.size(); ++i)
        EXPECT_EQ(FtpDialogue::Outcome([&] { ops[i](ftp); }), "Non connecté") << "operation " << i;
    EXPECT_EQ(required, static_cast<int>(ops.size()));
}
