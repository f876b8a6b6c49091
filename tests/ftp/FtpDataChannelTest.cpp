// Uploads and downloads against a scripted server: the data connection in both modes, the replies that
// refuse or fail a transfer, the completion reply, local file errors, time-outs and cancels.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "ftp/FtpTestUtil.h"
#include "platform/vcl/Forms.h"

namespace fs = std::filesystem;
using ftptest::FtpDialogue;
using ftptest::kUser;
using ftptest::Login;
using ftptest::Outcome;
using ftptest::OutcomeOf;
using NMFtp::FTPException;
using NMFtp::TCmdType;
using NMFtp::TNMFTP;

namespace {

// A dialogue that cannot hang the test: when it is not over after eight seconds (a broken exchange: the
// component waits for a reply on the control connection as long as it takes), the peer is stopped and
// the component's waits are cancelled, which ends whatever operation runs, and the test fails.
struct Dialogue : FtpDialogue {
    Psock::TThreadTimer watchdog{nullptr};
    bool stalled = false;

    Dialogue() {
        watchdog.SetInterval(8000);
        watchdog.SetOnTimer([this](vcl::TObject*) {
            watchdog.SetEnabled(false);
            stalled = true;
            peer.Stop();
            ftp->Abort();
            ftp->Cancel();
        });
    }
    ~Dialogue() { EXPECT_FALSE(stalled) << "the dialogue stalled: " << peer.FailureText(); }
};

// Starts the script, logs in and forgets the login's events.
void Begin(FtpDialogue& d) {
    d.peer.Start();
    d.ftp->Connect();
    d.events.clear();
}

void Finish(FtpDialogue& d) {
    ASSERT_TRUE(d.peer.Wait(5000));
    EXPECT_TRUE(d.peer.Ok()) << d.peer.FailureText();
}

// OnFailure that records its calls and answers with `handle`.
void RecordFailures(FtpDialogue& d, bool handle) {
    d.ftp->OnFailure = [&d, handle](bool& handled, TCmdType t) {
        d.events.push_back("failure " + std::to_string(t));
        handled = handle;
    };
}

// Only the first word of each event: "success 9" -> "success".
std::vector<std::string> Kinds(const std::vector<std::string>& events) {
    std::vector<std::string> kinds;
    for (const auto& e : events) kinds.push_back(e.substr(0, e.find(' ')));
    return kinds;
}

// File contents with zeros, CR, LF and every other byte value in them.
std::string Content(std::size_t n, unsigned seed = 1) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + i / 251 + seed) & 0xff);
    return s;
}

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Lets the component's messages through until the flag is set, for at most two seconds.
bool PumpUntil(const std::atomic<bool>& flag) {
    for (int i = 0; i < 200 && !flag; ++i) vcl::Application->ProcessMessagesWaiting(10);
    return flag;
}

// The server's side of a transfer in either mode: the set-up step (PASV or PORT), and the step that opens
// the data connection once the transfer command has been answered.
void ExpectSetUp(FtpDialogue& d, bool passive) {
    if (passive)
        d.peer.ExpectPasv();
    else
        d.peer.ExpectPort();
}
void OpenData(FtpDialogue& d, bool passive) {
    if (passive)
        d.peer.DataAccept();
    else
        d.peer.DataConnect();
}

class FtpDataChannel : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() / ("ftp-data-" + std::to_string(::getpid()) + "-" + info->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    std::string MakeFile(const std::string& name, const std::string& bytes) const {
        std::ofstream(dir_ / name, std::ios::binary) << bytes;
        return Path(name);
    }

    fs::path dir_;
};

}  // namespace

TEST_F(FtpDataChannel, TransfersMoveTheWholeFileInBothModes) {
    const std::string bytes = Content(150000);
    const std::string local = MakeFile("source.bin", bytes);
    for (const bool passive : {true, false}) {
        for (const bool upload : {true, false}) {
            SCOPED_TRACE(std::string(passive ? "passive " : "active ") + (upload ? "upload" : "download"));
            Dialogue d;
            Login(d);
            // The address in the reply is not used: the data connection goes to the control connection's
            // host.
            if (passive)
                d.peer.Expect("PASV").ReplyPasv("227 Entering Passive Mode (10,0,0,7,{p1,p2})");
            else
                d.peer.ExpectPort();
            if (upload) {
                d.peer.Expect("STOR f.bin").Reply("150 Ok to send data.");
                OpenData(d, passive);
                d.peer.DataReceiveAll(5000).Reply("226 Transfer complete.");
            } else {
                d.peer.Expect("RETR f.bin").Reply("150 Opening data connection for f.bin (150000 bytes).");
                OpenData(d, passive);
                d.peer.DataSend(bytes).DataClose().Reply("226 Transfer complete.");
            }
            Begin(d);
            d.ftp->SetPassive(passive);
            const std::string copy = Path("copy.bin");
            fs::remove(copy);
            EXPECT_EQ(
                OutcomeOf([&] { upload ? d.ftp->Upload(local, "f.bin") : d.ftp->Download("f.bin", copy); }),
                (Outcome{"ok", ""}));
            Finish(d);
            if (upload) {
                EXPECT_EQ(d.events, std::vector<std::string>{"success 9"});
                EXPECT_TRUE(d.peer.DataBytes() == bytes) << d.peer.DataBytes().size() << " bytes received";
            } else {
                EXPECT_EQ(Kinds(d.events), std::vector<std::string>{"success"});
                EXPECT_TRUE(ReadFile(copy) == bytes) << fs::file_size(copy) << " bytes written";
            }
            EXPECT_EQ(d.ftp->BytesTotal(), 150000);
            EXPECT_EQ(d.ftp->GetBytesSent(), 0) << "the data socket is gone";
            if (!passive) {
                // "PORT 127,0,0,1,p1,p2": the control connection's local address, then the listening port.
                const auto port = d.peer.ActiveAddress().port;
                const std::string want =
                    "PORT 127,0,0,1," + std::to_string(port / 256) + "," + std::to_string(port % 256);
                EXPECT_EQ(d.peer.Received().at(1), want);
            }
        }
    }
}

TEST_F(FtpDataChannel, UnusableSetUpRepliesEndTheTransferBeforeItsCommand) {
    struct Case {
        bool passive;
        const char* reply;  // to PASV or PORT; {p1,p2} is the data listener's port
        Outcome want;       // of a Download with no OnFailure
        bool reported;      // a failure report, rather than a conversion error
    } cases[] = {
        {true, "227 =127,0,0,1,{p1,p2}", {"EConvertError", ""}, false},
        {true, "425 Cannot open data connection", {"EConvertError", ""}, false},
        {true, "500 PASV not understood", {"FTPException", "500 PASV not understood\r\n"}, true},
        {false, "500 Illegal PORT command", {"FTPException", "500 Illegal PORT command\r\n"}, true},
    };
    const std::string local = MakeFile("source.bin", Content(100));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        Dialogue d;
        Login(d);
        // Twice: once for a Download without OnFailure, once for an UploadAppend with one. No transfer
        // command may follow; the next command is the NOOP.
        for (int i = 0; i < 2; ++i) {
            if (c.passive)
                d.peer.Expect("PASV").ReplyPasv(c.reply);
            else
                d.peer.ExpectPort(c.reply);
            d.peer.Expect("NOOP").Reply("200 OK");
        }
        Begin(d);
        d.ftp->SetPassive(c.passive);

        Outcome got = OutcomeOf([&] { d.ftp->Download("f", Path("copy")); });
        if (c.want.type == "EConvertError") got.message.clear();  // the conversion's own wording
        EXPECT_EQ(got, c.want);
        EXPECT_EQ(d.events, std::vector<std::string>{});
        EXPECT_EQ(OutcomeOf([&] { d.ftp->DoCommand("NOOP"); }), (Outcome{"ok", ""}));

        RecordFailures(d, false);
        d.events.clear();
        got = OutcomeOf([&] { d.ftp->UploadAppend(local, "f"); });
        if (c.want.type == "EConvertError") got.message.clear();
        EXPECT_EQ(got, c.want);
        if (c.reported) {
            // Reported as a failure only, never as an unsupported function.
            EXPECT_EQ(d.events, std::vector<std::string>{"failure 10"});
        } else {
            EXPECT_EQ(d.events, std::vector<std::string>{});
        }
        d.ftp->OnFailure = nullptr;
        EXPECT_EQ(OutcomeOf([&] { d.ftp->DoCommand("NOOP"); }), (Outcome{"ok", ""}));
        Finish(d);
        EXPECT_EQ(d.ftp->GetBytesSent(), 0);
    }
}

TEST_F(FtpDataChannel, RefusedTransferCommandIsReportedOnceByAppendTwiceByUpload) {
    enum class Handler { None, LeavesUnhandled, Handles };
    struct Case {
        const char* name;
        bool append;
        const char* reply;
        Handler handler;
        Outcome want;
        std::vector<std::string> wantEvents;
    } cases[] = {
        {"550, no handler",
         false,
         "550 Permission denied",
         Handler::None,
         {"FTPException", "550 Permission denied\r\n"},
         {}},
        // The failure report, then Upload's catch-all.
        {"550, unhandled",
         false,
         "550 Permission denied",
         Handler::LeavesUnhandled,
         {"FTPException", "550 Permission denied\r\n"},
         {"failure 9", "failure 9"}},
        {"550, handled", false, "550 Permission denied", Handler::Handles, {"ok", ""}, {"failure 9"}},
        {"350 to a plain STOR",
         false,
         "350 Restarting",
         Handler::None,
         {"FTPException", "350 Restarting\r\n"},
         {}},
        {"502 to APPE",
         true,
         "502 Not implemented",
         Handler::Handles,
         {"ok", ""},
         {"unsupported 10", "failure 10"}},
        {"550 to APPE, unhandled",
         true,
         "550 No",
         Handler::LeavesUnhandled,
         {"FTPException", "550 No\r\n"},
         {"failure 10"}},
    };
    const std::string local = MakeFile("source.bin", Content(100));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Dialogue d;
        Login(d);
        d.peer.ExpectPasv().Expect(std::string(c.append ? "APPE" : "STOR") + " f").Reply(c.reply);
        d.peer.Expect("NOOP").Reply("200 OK");
        Begin(d);
        d.ftp->SetPassive(true);
        if (c.handler != Handler::None) RecordFailures(d, c.handler == Handler::Handles);
        EXPECT_EQ(OutcomeOf([&] { c.append ? d.ftp->UploadAppend(local, "f") : d.ftp->Upload(local, "f"); }),
                  c.want);
        EXPECT_EQ(d.events, c.wantEvents);
        d.ftp->OnFailure = nullptr;
        EXPECT_EQ(OutcomeOf([&] { d.ftp->DoCommand("NOOP"); }), (Outcome{"ok", ""}));
        Finish(d);
    }
}

TEST_F(FtpDataChannel, AbortEndsTheWaitForAServerThatNeverConnects) {
    const std::string local = MakeFile("source.bin", Content(100));
    Dialogue d;
    Login(d);
    d.peer.ExpectPort().Expect("STOR f").Reply("150 Ok to send data.");
    d.peer.Expect("NOOP").Reply("200 OK");
    Begin(d);
    Psock::TThreadTimer aborter(nullptr);
    aborter.SetInterval(200);
    aborter.SetOnTimer([&](vcl::TObject*) {
        aborter.SetEnabled(false);
        d.ftp->Abort();
    });
    EXPECT_EQ(OutcomeOf([&] { d.ftp->Upload(local, "f"); }), (Outcome{"ESockError", "Acceptation annulée"}));
    EXPECT_EQ(d.events, std::vector<std::string>{});
    EXPECT_EQ(OutcomeOf([&] { d.ftp->DoCommand("NOOP"); }), (Outcome{"ok", ""}));
    Finish(d);
}

TEST_F(FtpDataChannel, UploadUniqueIsActiveAndShowsTheCompletionReplyItFinds) {
    const std::string bytes = Content(20000);
    const std::string local = MakeFile("source.bin", bytes);
    for (const bool waiting : {true, false}) {
        SCOPED_TRACE(waiting ? "completion already waiting" : "completion comes later");
        Dialogue d;
        std::atomic<bool> completionSent{false};
        Login(d);
        // Active even though the component is passive.
        d.peer.ExpectPort().Expect("STOU");
        if (waiting)
            d.peer.Send("150 FILE: u1\r\n226 Transfer complete\r\n").DataConnect().DataReceiveAll(5000);
        else
            d.peer.Reply("150 FILE: u1").DataConnect().DataReceiveAll(5000).Reply("226 Transfer complete");
        d.peer.Call([&] { completionSent = true; });
        d.peer.Expect("NOOP").Reply("200 OK");
        Begin(d);
        d.ftp->SetPassive(true);
        d.ftp->SetReportLevel(1);
        d.statuses.clear();
        EXPECT_EQ(OutcomeOf([&] { d.ftp->UploadUnique(local); }), (Outcome{"ok", ""}));
        EXPECT_EQ(d.events, std::vector<std::string>{"success 9"});
        EXPECT_EQ(d.SawStatus("226 Transfer complete\r\n"), waiting);
        EXPECT_EQ(d.SawStatus("226 Upload OK"), !waiting);
        // A completion that came late is left waiting and does not answer the next command.
        ASSERT_TRUE(PumpUntil(completionSent));
        EXPECT_EQ(OutcomeOf([&] { d.ftp->DoCommand("NOOP"); }), (Outcome{"ok", ""}));
        EXPECT_EQ(d.ftp->LastReply(), "200 OK\r\n");
        Finish(d);
        EXPECT_TRUE(d.peer.DataBytes() == bytes) << d.peer.DataBytes().size() << " bytes received";
    }
}

TEST_F(FtpDataChannel, UploadRestoreSendsTheTailFromThePosition) {
    const std::string bytes = Content(10000);
    const std::string local = MakeFile("whole.bin", bytes);
    for (const char* storReply : {"150 Ok to send data.", "350 Go on"}) {
        SCOPED_TRACE(storReply);
        Dialogue d;
        Login(d);
        d.peer.ExpectPasv().Expect("REST 4096").Reply("350 Restart position accepted (4096).");
        d.peer.Expect("STOR part.bin").Reply(storReply).DataAccept().DataReceiveAll(5000);
        d.peer.Reply("226 Transfer complete.");
        Begin(d);
        d.ftp->SetPassive(true);
        EXPECT_EQ(OutcomeOf([&] { d.ftp->UploadRestore(local, "part.bin", 4096); }), (Outcome{"ok", ""}));
        Finish(d);
        EXPECT_EQ(d.events, std::vector<std::string>{"success 9"});
        EXPECT_EQ(d.peer.DataBytes().size(), 5904u);
        EXPECT_TRUE(d.peer.DataBytes() == bytes.substr(4096));
        EXPECT_EQ(d.ftp->BytesTotal(), 10000);
    }
}

TEST_F(FtpDataChannel, CompletionReplyDecidesSuccessOrFailure) {
    const std::string bytes = Content(3000);
    const std::string local = MakeFile("source.bin", bytes);
    struct Case {
        const char* completion;
        bool handled;  // by an OnFailure that records
        Outcome want;
        std::vector<std::string> wantKinds;
    } cases[] = {
        {"226 Transfer complete.", true, {"ok", ""}, {"success"}},
        {"426 Connection closed; transfer aborted.", true, {"ok", ""}, {"failure"}},
        {"451 Local error in processing.", true, {"ok", ""}, {"failure"}},
        {"552 Exceeded storage allocation.", true, {"ok", ""}, {"failure"}},
        {"426 Connection closed; transfer aborted.",
         false,
         {"FTPException", "426 Connection closed; transfer aborted.\r\n"},
         {}},
    };
    for (const auto& c : cases) {
        for (const bool upload : {true, false}) {
            SCOPED_TRACE(std::string(c.completion) + (upload ? " after an upload" : " after a download"));
            Dialogue d;
            Login(d);
            d.peer.ExpectPasv();
            if (upload)
                d.peer.Expect("STOR f").Reply("150 Ok").DataAccept().DataReceiveAll(5000);
            else
                d.peer.Expect("RETR f").Reply("150 Ok (3000 bytes)").DataAccept().DataSend(bytes).DataClose();
            d.peer.Reply(c.completion);
            Begin(d);
            d.ftp->SetPassive(true);
            if (c.handled) RecordFailures(d, true);
            EXPECT_EQ(
                OutcomeOf([&] { upload ? d.ftp->Upload(local, "f") : d.ftp->Download("f", Path("copy")); }),
                c.want);
            EXPECT_EQ(Kinds(d.events), c.wantKinds);
            EXPECT_EQ(d.ftp->GetBytesSent(), 0) << "the data socket is gone";
            EXPECT_EQ(d.ftp->GetBytesRcvd(), 0) << "the data socket is gone";
            Finish(d);
        }
    }
}

TEST_F(FtpDataChannel, MissingLocalFileFailsBeforeAnyCommandIsSent) {
    const std::string missing = Path("no-such-file.bin");
    const std::string bytes = Content(500);
    const std::string present = MakeFile("present.bin", bytes);
    const std::vector<std::pair<const char*, std::function<void(TNMFTP&)>>> ops = {
        {"Upload", [&](TNMFTP& f) { f.Upload(missing, "f"); }},
        {"UploadAppend", [&](TNMFTP& f) { f.UploadAppend(missing, "f"); }},
        {"UploadUnique", [&](TNMFTP& f) { f.UploadUnique(missing); }},
        {"UploadRestore", [&](TNMFTP& f) { f.UploadRestore(missing, "f", 10); }},
    };
    for (const bool passive : {true, false}) {
        SCOPED_TRACE(passive ? "passive" : "active");
        Dialogue d;
        Login(d);
        for (std::size_t i = 0; i < ops.size(); ++i) d.peer.Expect("NOOP").Reply("200 OK");
        // Then a transfer that works.
        ExpectSetUp(d, passive);
        d.peer.Expect("STOR f").Reply("150 Ok");
        OpenData(d, passive);
        d.peer.DataReceiveAll(5000).Reply("226 Transfer complete.");
        Begin(d);
        d.ftp->SetPassive(passive);
        for (const auto& [name, op] : ops) {
            SCOPED_TRACE(name);
            EXPECT_EQ(OutcomeOf([&] { op(*d.ftp); }).type, "EFOpenError");
            EXPECT_EQ(d.ftp->GetBytesSent(), 0);
            EXPECT_EQ(OutcomeOf([&] { d.ftp->DoCommand("NOOP"); }), (Outcome{"ok", ""}));
        }
        d.events.clear();
        EXPECT_EQ(OutcomeOf([&] { d.ftp->Upload(present, "f"); }), (Outcome{"ok", ""}));
        EXPECT_EQ(d.events, std::vector<std::string>{"success 9"});
        Finish(d);
        EXPECT_TRUE(d.peer.DataBytes() == bytes);
    }
}

TEST_F(FtpDataChannel, DataConnectionLostMidDownloadKeepsTheBytesAndIsNoSuccess) {
    const std::string bytes = Content(10000);
    for (const bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset" : "closed");
        Dialogue d;
        std::atomic<bool> completionSent{false};
        Login(d);
        d.peer.ExpectPasv().Expect("RETR f").Reply("150 Opening data connection for f (10000 bytes).");
        // The pause lets the client take the bytes in before the reset could throw them away.
        d.peer.DataAccept().DataSend(bytes.substr(0, 3000)).Stall(300);
        if (reset)
            d.peer.DataReset();
        else
            d.peer.DataClose();
        d.peer.Reply("426 Connection closed; transfer aborted.").Call([&] { completionSent = true; });
        d.peer.Expect("NOOP").Reply("200 OK");
        Begin(d);
        d.ftp->SetPassive(true);
        const std::string copy = Path("copy");
        const Outcome got = OutcomeOf([&] { d.ftp->Download("f", copy); });
        EXPECT_NE(got.type, "ok");
        EXPECT_EQ(d.events, std::vector<std::string>{});
        EXPECT_TRUE(ReadFile(copy) == bytes.substr(0, 3000)) << ReadFile(copy).size() << " bytes written";
        ASSERT_TRUE(PumpUntil(completionSent));
        EXPECT_EQ(OutcomeOf([&] { d.ftp->DoCommand("NOOP"); }), (Outcome{"ok", ""}));
        Finish(d);
    }
}

TEST_F(FtpDataChannel, DownloadIntoAMissingFolderFailsAndTheSessionGoesOn) {
    Dialogue d;
    std::atomic<bool> completionSent{false};
    Login(d);
    d.peer.ExpectPasv().Expect("RETR f").Reply("150 Opening data connection for f (0 bytes).");
    d.peer.DataAccept().DataClose().Reply("226 Transfer complete.").Call([&] { completionSent = true; });
    d.peer.Expect("NOOP").Reply("200 OK");
    Begin(d);
    d.ftp->SetPassive(true);
    EXPECT_EQ(OutcomeOf([&] { d.ftp->Download("f", Path("no-such-folder/f")); }).type, "EFCreateError");
    EXPECT_EQ(d.events, std::vector<std::string>{});
    EXPECT_EQ(d.ftp->GetBytesRcvd(), 0);
    ASSERT_TRUE(PumpUntil(completionSent));
    EXPECT_EQ(OutcomeOf([&] { d.ftp->DoCommand("NOOP"); }), (Outcome{"ok", ""}));
    EXPECT_EQ(d.events, std::vector<std::string>{"success 14"});
    Finish(d);
}

TEST(FtpDataChannelBytesTotal, LastNumberBeforeTheWordBytes) {
    struct Case {
        const char* text;
        std::int64_t want;
    } cases[] = {
        {"150 Opening data connection for a.zip (512 bytes).", 512},
        {"150 Opening data connection", 0},
        {"150 Data (12,345 bytes)", 345},
        {"150 Bytes follow", 150},
        {"7 bytes", 7},
        {"150 (3000000000 bytes)", 3000000000LL},
        {"150 (9223372036854775807 bytes)", INT64_MAX},
        {"150 (9223372036854775808 bytes)", 0},
        {"150 (1234567890123456789012345 bytes)", 0},
        {"150 size 10 BYTES", 10},
        {"bytes 42", 0},
        {"", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(TNMFTP::GetBytesTotal(c.text), c.want) << c.text;
}

// A transfer command whose reply comes later than TimeOut fails the transfer: no data moves, nothing is
// reported as a success, and the late reply is thrown away before the next command.
TEST_F(FtpDataChannel, TransferReplyLaterThanTheTimeOutFailsTheTransfer) {
    const std::string bytes = Content(150000);
    const std::string local = MakeFile("source.bin", bytes);
    for (const bool passive : {true, false}) {
        for (const bool upload : {true, false}) {
            SCOPED_TRACE(std::string(passive ? "passive " : "active ") + (upload ? "upload" : "download"));
            Dialogue d;
            std::atomic<bool> lateReplySent{false};
            Login(d);
            ExpectSetUp(d, passive);
            d.peer.Expect(upload ? "STOR f" : "RETR f").Stall(800).Reply("150 Ok (150000 bytes)");
            d.peer.Call([&] { lateReplySent = true; });
            d.peer.Expect("NOOP").Reply("200 OK");
            Begin(d);
            d.ftp->SetPassive(passive);
            d.ftp->SetTimeOut(300);
            RecordFailures(d, false);
            const std::string copy = Path("copy");
            EXPECT_EQ(OutcomeOf([&] { upload ? d.ftp->Upload(local, "f") : d.ftp->Download("f", copy); }),
                      (Outcome{"EAbortError", "ReadLn de Socket abandonnée"}));
            EXPECT_EQ(Kinds(d.events), std::vector<std::string>{"failure"});
            if (!upload) {
                EXPECT_FALSE(fs::exists(copy)) << "the download never started";
            }
            ASSERT_TRUE(PumpUntil(lateReplySent));
            d.ftp->OnFailure = nullptr;
            EXPECT_EQ(OutcomeOf([&] { d.ftp->DoCommand("NOOP"); }), (Outcome{"ok", ""}));
            Finish(d);
            EXPECT_EQ(d.peer.DataBytes(), "");
        }
    }
}

TEST_F(FtpDataChannel, CancelBeforeTheDataRaisesAfterTheCleanUp) {
    const std::string local = MakeFile("source.bin", Content(5000));
    for (const bool upload : {true, false}) {
        SCOPED_TRACE(upload ? "upload" : "download");
        Dialogue d;
        std::atomic<bool> completionSent{false};
        Login(d);
        d.peer.ExpectPasv();
        if (upload) {
            // The client closes the data connection without sending; nothing tells the server to abort.
            d.peer.Expect("STOR f").Reply("150 Ok").DataAccept().DataReceiveAll(5000);
            d.peer.Reply("226 Transfer complete.");
        } else {
            d.peer.Expect("RETR f").Reply("150 Ok (5000 bytes)").DataAccept();
            d.peer.Expect("ABOR").Reply("226 ABOR command successful.");
        }
        d.peer.Call([&] { completionSent = true; });
        d.peer.Expect("NOOP").Reply("200 OK");
        Begin(d);
        d.ftp->SetPassive(true);
        int starts = 0;
        d.ftp->OnTransactionStart = [&](vcl::TObject*) {
            ++starts;
            d.ftp->Cancel();
        };
        const std::string copy = Path("copy");
        EXPECT_EQ(OutcomeOf([&] { upload ? d.ftp->Upload(local, "f") : d.ftp->Download("f", copy); }),
                  (Outcome{"EAbortError", "Transfert abandonné"}));
        EXPECT_EQ(starts, 1);
        EXPECT_EQ(d.events, std::vector<std::string>{});
        EXPECT_EQ(d.ftp->GetBytesSent(), 0);
        d.ftp->OnTransactionStart = nullptr;
        ASSERT_TRUE(PumpUntil(completionSent));
        EXPECT_EQ(OutcomeOf([&] { d.ftp->DoCommand("NOOP"); }), (Outcome{"ok", ""}));
        Finish(d);
        EXPECT_EQ(d.peer.DataBytes(), "");
    }
}
