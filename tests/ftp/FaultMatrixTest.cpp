// The fault matrix: every operation of the FTP client, in passive and active mode, against a server that
// fails at one step of the dialogue in one way: it closes or resets the control connection, stops
// answering, answers with noise or with a line that never ends, or closes, resets or stalls the data
// connection midway. The cells are generated from each operation's dialogue (a table of steps) and the
// faults that apply to each kind of step.
//
// For every cell: the operation ends, well before the watchdog, with the failure its kind of fault calls
// for (or with the success that a reply without digits is documented to give); a failure never comes
// with a success report; no descriptor is left open; and the component logs in again and lists after
// Disconnect and Connect.
//
// FAULT_MATRIX_REPORT=<file> appends one line per cell: operation, mode, step, fault, outcome, time.
// FM_TRACE=1 prints the client's status texts, down to its trace level.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "ftp/FtpTestUtil.h"
#include "net/ftp/NMFtp.h"
#include "platform/vcl/Forms.h"
#include "support/ScriptedPeer.h"

// POSIX after the socket component's headers.
#include <unistd.h>

namespace fs = std::filesystem;
using ftptest::Outcome;
using ftptest::OutcomeOf;
using NMFtp::FTPException;
using NMFtp::TCmdType;
using NMFtp::TNMFTP;
using testsupport::ScriptedPeer;

namespace {

constexpr int kTimeOut = 500;           // the client's TimeOut in every cell
constexpr int kWatchdogMs = 5000;       // a phase still running after this long is a hang
constexpr int kPeerPatienceMs = 15000;  // how long the peer waits for the client's next move
constexpr const char* kUser = "u12345678";
constexpr const char* kPass = "s3cretpw";
constexpr std::int64_t kRestPosition = 1000;

// A reply that is no FTP reply: binary bytes, no leading digits, a zero byte, no continuation mark.
const std::string kNoise = std::string("\x16\x03\x01garbage\x00\xff\xfe reply", 19);

enum class Op {
    Connect,
    ChangeDir,
    MakeDirectory,
    RemoveDir,
    Delete,
    Rename,
    GetCurrentDir,
    Mode,
    Reinitialize,
    Allocate,
    DoCommand,
    Disconnect,
    List,
    Nlist,
    Upload,
    UploadAppend,
    UploadUnique,
    UploadRestore,
    Download,
    DownloadRestore,
};

const char* OpName(Op op) {
    static const char* const names[] = {
        "Connect",      "ChangeDir",     "MakeDirectory", "RemoveDir",    "Delete",
        "Rename",       "GetCurrentDir", "Mode",          "Reinitialize", "Allocate",
        "DoCommand",    "Disconnect",    "List",          "Nlist",        "Upload",
        "UploadAppend", "UploadUnique",  "UploadRestore", "Download",     "DownloadRestore",
    };
    return names[static_cast<int>(op)];
}

bool Transfers(Op op) { return op >= Op::List; }
bool AlwaysActive(Op op) { return op == Op::Nlist || op == Op::UploadUnique; }
bool Uploads(Op op) { return op >= Op::Upload && op <= Op::UploadRestore; }

enum class Fault {
    None,          // the whole dialogue as it should be
    CloseControl,  // the server closes the control connection instead of replying
    ResetControl,  // the server resets it
    Silent,        // the server reads the command and never answers
    Noise,         // the reply is noise (no digits); the dialogue goes on
    EndlessLine,   // the reply is 70,000 bytes without a line end, then silence
    CloseData,     // the data connection is closed midway, then "426"
    ResetData,     // the data connection is reset midway, then "426"
    StallData,     // the data connection opens and then nothing moves
    NoConnection,  // active mode: the server never connects to the client
};

const char* FaultName(Fault f) {
    static const char* const names[] = {"None",      "CloseControl", "ResetControl", "Silent",
                                        "Noise",     "EndlessLine",  "CloseData",    "ResetData",
                                        "StallData", "NoConnection"};
    return names[static_cast<int>(f)];
}

// What the client does after a noise reply, by the documented rules (a reply without digits has code 0).
enum class AfterNoise {
    Continue,  // code 0 is an acceptance: the dialogue goes on
    SkipNext,  // code 0 is not 331: no "PASS" follows "USER"
    Stop,      // the passive reply has no port: the integer conversion error ends the operation
};

// One step of an operation's dialogue, from the server's side.
struct Step {
    std::string name;  // the command ("USER", "PASV"...), "greeting", "data" or "completion"
    bool data = false;
    bool faultable = true;
    AfterNoise afterNoise = AfterNoise::Continue;
    std::function<void(ScriptedPeer&)> expect;  // reads the client's command; empty when none comes
    std::function<void(ScriptedPeer&)> answer;  // the server's normal reply or data movement
    // Data steps.
    bool upload = false;
    bool passive = false;
    std::string bytes;  // what the server sends (downloads, listings)
    std::string part;   // what it sends before a fault midway
};

Step Command(std::string name, std::string line, std::string reply,
             AfterNoise afterNoise = AfterNoise::Continue) {
    Step s;
    s.name = std::move(name);
    s.afterNoise = afterNoise;
    s.expect = [line](ScriptedPeer& p) { p.Expect(line); };
    s.answer = [reply](ScriptedPeer& p) { p.Reply(reply); };
    return s;
}

Step Unprompted(std::string name, std::string reply, bool faultable = true) {
    Step s;
    s.name = std::move(name);
    s.faultable = faultable;
    s.answer = [reply](ScriptedPeer& p) { p.Reply(reply); };
    return s;
}

Step SetUp(bool passive) {
    Step s;
    if (passive) {
        s.name = "PASV";
        s.afterNoise = AfterNoise::Stop;
        s.expect = [](ScriptedPeer& p) { p.Expect("PASV"); };
        s.answer = [](ScriptedPeer& p) { p.ReplyPasv(); };
    } else {
        s.name = "PORT";
        s.expect = [](ScriptedPeer& p) { p.ExpectPort(""); };
        s.answer = [](ScriptedPeer& p) { p.Reply("200 PORT command successful. Consider using PASV."); };
    }
    return s;
}

Step Data(bool upload, bool passive, std::string bytes = "", std::string part = "") {
    Step s;
    s.name = "data";
    s.data = true;
    s.upload = upload;
    s.passive = passive;
    s.bytes = std::move(bytes);
    s.part = std::move(part);
    return s;
}

void OpenData(ScriptedPeer& p, const Step& s) {
    if (s.passive)
        p.DataAccept();
    else
        p.DataConnect();
}

std::string Content(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + i / 251 + 7) & 0xff);
    return s;
}

// The local files of the transfers, in a folder of this process, each made when first needed.
const fs::path& WorkDir() {
    static const fs::path dir = [] {
        const fs::path d = fs::temp_directory_path() / ("ftp-fault-" + std::to_string(::getpid()));
        fs::remove_all(d);
        fs::create_directories(d);
        return d;
    }();
    return dir;
}

std::string MakeFile(const char* name, std::size_t size) {
    const std::string path = (WorkDir() / name).string();
    std::ofstream(path, std::ios::binary) << Content(size);
    return path;
}

// Uploads whose data is not the faulted step.
const std::string& SmallFile() {
    static const std::string path = MakeFile("small.bin", 100 * 1000);
    return path;
}

// Uploads that a fault cuts midway or stalls: more than the socket buffers of both ends hold.
const std::string& LargeFile() {
    static const std::string path = MakeFile("large.bin", 16 * 1024 * 1024);
    return path;
}

// What the server sends for a download.
const std::string& ServerFile() {
    static const std::string bytes = Content(200 * 1000);
    return bytes;
}

const std::string kListing =
    "-rw-r--r--    1 1000     1000         1024 Dec 11 07:00 a.txt\r\n"
    "-rw-r--r--    1 1000     1000         2048 Dec 11 07:01 b.txt\r\n"
    "drwxr-xr-x    2 1000     1000         4096 Dec 11 07:02 quil\r\n";
const std::string kListingPart = "-rw-r--r--    1 1000     1000         1024 Dec 11 07:00 a.txt\r\n";

std::string RetrReply(std::size_t n) {
    return "150 Opening BINARY mode data connection for f.bin (" + std::to_string(n) + " bytes).";
}

// The dialogue of one operation after the login (for Connect: the login itself).
std::vector<Step> Dialogue(Op op, bool passive) {
    const std::string& bytes = ServerFile();
    const std::string rest = bytes.substr(kRestPosition);
    switch (op) {
        case Op::Connect:
            return {Unprompted("greeting", "220 (Envoi test server)"),
                    Command("USER", std::string("USER ") + kUser, "331 Please specify the password.",
                            AfterNoise::SkipNext),
                    Command("PASS", std::string("PASS ") + kPass, "230 Login successful.")};
        case Op::ChangeDir:
            return {Command("CWD", "CWD quil", "250 Directory successfully changed.")};
        case Op::MakeDirectory:
            return {Command("MKD", "MKD nouveau", "257 \"/memoire/nouveau\" created")};
        case Op::RemoveDir:
            return {Command("RMD", "RMD ancien", "250 Remove directory operation successful.")};
        case Op::Delete:
            return {Command("DELE", "DELE a.txt", "250 Delete operation successful.")};
        case Op::Rename:
            return {Command("RNFR", "RNFR a.txt", "350 Ready for RNTO."),
                    Command("RNTO", "RNTO b.txt", "250 Rename successful.")};
        case Op::GetCurrentDir:
            return {Command("PWD", "PWD", "257 \"/memoire/quil\" is the current directory")};
        case Op::Mode:
            return {Command("TYPE", "TYPE L 8", "200 Switching to Binary mode.")};
        case Op::Reinitialize:
            return {Command("REIN", "REIN", "220 Service ready for new user.")};
        case Op::Allocate:
            return {Command("ALLO", "ALLO 1024", "202 ALLO command ignored.")};
        case Op::DoCommand:
            return {Command("NOOP", "NOOP", "200 NOOP ok.")};
        case Op::Disconnect:
            return {Command("QUIT", "QUIT", "221 Goodbye.")};
        case Op::List:
            return {Command("SYST", "SYST", "215 UNIX Type: L8"), SetUp(passive),
                    Command("LIST", "LIST", "150 Here comes the directory listing."),
                    Data(false, passive, kListing, kListingPart),
                    Unprompted("completion", "226 Directory send OK.")};
        case Op::Nlist:
            return {SetUp(false), Command("NLST", "NLST", "150 Here comes the directory listing."),
                    Data(false, false, "a.txt\r\nb.txt\r\nquil\r\n", "a.txt\r\n"),
                    Unprompted("completion", "226 Directory send OK.")};
        case Op::Upload:
        case Op::UploadAppend: {
            const std::string verb = op == Op::Upload ? "STOR" : "APPE";
            return {SetUp(passive), Command(verb, verb + " f.bin", "150 Ok to send data."),
                    Data(true, passive), Unprompted("completion", "226 Transfer complete.")};
        }
        case Op::UploadUnique:
            // The operation takes whatever completion reply has come by the end of its data, and does not
            // wait for one: a fault after the data is not its to see, so that step is not faulted.
            return {SetUp(false), Command("STOU", "STOU", "150 FILE: f.bin.1"), Data(true, false),
                    Unprompted("completion", "226 Transfer complete.", false)};
        case Op::UploadRestore:
            return {SetUp(passive),
                    Command("REST", "REST " + std::to_string(kRestPosition),
                            "350 Restart position accepted (1000)."),
                    Command("STOR", "STOR f.bin", "150 Ok to send data."), Data(true, passive),
                    Unprompted("completion", "226 Transfer complete.")};
        case Op::Download:
            return {SetUp(passive), Command("RETR", "RETR f.bin", RetrReply(bytes.size())),
                    Data(false, passive, bytes, bytes.substr(0, 50 * 1000)),
                    Unprompted("completion", "226 Transfer complete.")};
        case Op::DownloadRestore:
            return {SetUp(passive),
                    Command("REST", "REST " + std::to_string(kRestPosition),
                            "350 Restart position accepted (1000)."),
                    Command("RETR", "RETR f.bin", RetrReply(rest.size())),
                    Data(false, passive, rest, rest.substr(0, 50 * 1000)),
                    Unprompted("completion", "226 Transfer complete.")};
    }
    return {};
}

struct Cell {
    Op op;
    bool passive;
    int step;  // index into the dialogue; -1 for Fault::None
    std::string stepName;
    Fault fault;
};

// How GoogleTest and CTest show a cell.
void PrintTo(const Cell& c, std::ostream* os) {
    *os << OpName(c.op) << (c.passive ? " passive " : " ") << c.stepName << " " << FaultName(c.fault);
}

std::vector<Fault> FaultsOf(const Step& s) {
    if (!s.faultable) return {};
    if (!s.data)
        return {Fault::CloseControl, Fault::ResetControl, Fault::Silent, Fault::Noise, Fault::EndlessLine};
    std::vector<Fault> faults = {Fault::CloseData, Fault::ResetData, Fault::StallData};
    if (!s.passive) faults.push_back(Fault::NoConnection);
    return faults;
}

std::vector<Cell> AllCells() {
    std::vector<Cell> cells;
    for (int o = 0; o <= static_cast<int>(Op::DownloadRestore); ++o) {
        const Op op = static_cast<Op>(o);
        const std::vector<bool> modes = !Transfers(op)     ? std::vector<bool>{false}
                                        : AlwaysActive(op) ? std::vector<bool>{false}
                                                           : std::vector<bool>{true, false};
        for (const bool passive : modes) {
            cells.push_back({op, passive, -1, "all", Fault::None});
            const auto steps = Dialogue(op, passive);
            for (int i = 0; i < static_cast<int>(steps.size()); ++i)
                for (const Fault f : FaultsOf(steps[i])) cells.push_back({op, passive, i, steps[i].name, f});
        }
    }
    return cells;
}

std::string CellName(const ::testing::TestParamInfo<Cell>& info) {
    const Cell& c = info.param;
    std::string mode = !Transfers(c.op)     ? ""
                       : AlwaysActive(c.op) ? "_AlwaysActive"
                       : c.passive          ? "_Passive"
                                            : "_Active";
    return std::string(OpName(c.op)) + mode + "_" + c.stepName + "_" + FaultName(c.fault);
}

// ---- The server's side of a cell ----

// The login that every operation but Connect starts from, and that the recovery repeats.
void Login(ScriptedPeer& p) {
    p.Accept().Reply("220 (Envoi test server)");
    p.Expect(std::string("USER ") + kUser).Reply("331 Please specify the password.");
    p.Expect(std::string("PASS ") + kPass).Reply("230 Login successful.");
}

void NormalStep(ScriptedPeer& p, const Step& s) {
    if (!s.data) {
        if (s.expect) s.expect(p);
        s.answer(p);
        return;
    }
    OpenData(p, s);
    if (s.upload) {
        p.DataReceiveAll(kPeerPatienceMs);
    } else {
        p.DataSend(s.bytes).DataClose();
    }
}

// Plays the faulted step; returns whether the control connection is still open afterwards and the dialogue
// goes on as normal.
struct FaultEnd {
    bool controlOpen;
    bool goOn;
    bool skipNext = false;
};

FaultEnd FaultyStep(ScriptedPeer& p, const Step& s, Fault f) {
    const std::string endless(70000, 'x');
    if (!s.data) {
        if (s.expect) s.expect(p);
        switch (f) {
            case Fault::CloseControl:
                p.Close();
                return {false, false};
            case Fault::ResetControl:
                p.Reset();
                return {false, false};
            case Fault::Silent:
                return {true, false};
            case Fault::Noise:
                p.Send(kNoise + "\r\n");
                return {true, s.afterNoise != AfterNoise::Stop, s.afterNoise == AfterNoise::SkipNext};
            case Fault::EndlessLine:
                p.Send(endless);
                return {true, false};
            default:
                break;
        }
        ADD_FAILURE() << "no such control fault";
        return {false, false};
    }
    switch (f) {
        case Fault::CloseData:
        case Fault::ResetData:
            OpenData(p, s);
            if (s.upload)
                p.DataReadBytes(64 * 1024, kPeerPatienceMs);
            else
                p.DataSend(s.part);
            if (f == Fault::CloseData)
                p.DataClose();
            else
                p.DataReset();
            p.Reply("426 Connection closed; transfer aborted.");
            return {true, false};
        case Fault::StallData:
            OpenData(p, s);
            if (!s.upload) p.DataSend(s.part);
            return {true, false};
        case Fault::NoConnection:
            return {true, false};
        default:
            break;
    }
    ADD_FAILURE() << "no such data fault";
    return {false, false};
}

// The probe of the recovery: a listing in the cell's mode.
void ProbeListing(ScriptedPeer& p, bool passive) {
    if (passive)
        p.ExpectPasv();
    else
        p.ExpectPort();
    p.Expect("LIST").Reply("150 Here comes the directory listing.");
    if (passive)
        p.DataAccept();
    else
        p.DataConnect();
    p.DataSend("probe.txt\r\n").DataClose().Reply("226 Directory send OK.");
}

void Script(ScriptedPeer& p, const Cell& c) {
    const auto steps = Dialogue(c.op, c.passive);
    if (c.op == Op::Connect)
        p.Accept();
    else
        Login(p);
    bool controlOpen = true;
    bool goOn = true;
    for (int i = 0; i < static_cast<int>(steps.size()) && goOn; ++i) {
        if (i != c.step) {
            NormalStep(p, steps[i]);
            continue;
        }
        const FaultEnd end = FaultyStep(p, steps[i], c.fault);
        controlOpen = end.controlOpen;
        goOn = end.goOn;
        if (end.skipNext) ++i;
    }
    // Whatever the client still sends on this connection goes unanswered, but its logout.
    if (controlOpen) p.DiscardUntilQuit(kPeerPatienceMs);
    // The recovery: a new login and a listing.
    Login(p);
    ProbeListing(p, c.passive);
    p.Expect("QUIT").Reply("221 Goodbye.");
}

// ---- The client's side ----

// The outcome a cell must have: one of the exception classes (or "ok"), and the message when it is fixed.
struct Expected {
    std::vector<std::string> types;
    std::string message = "";
};

Expected ExpectedOf(const Cell& c, const Step* s) {
    switch (c.fault) {
        case Fault::None:
            return {{"ok"}};
        case Fault::Noise:
            return {{s->afterNoise == AfterNoise::Stop ? "EConvertError" : "ok"}};
        case Fault::CloseControl:
            // A server that closes on QUIT has logged the client out as asked.
            if (c.op == Op::Disconnect) return {{"ok"}};
            // List drops a failing SYST; its next command finds the connection gone.
            if (s->name == "SYST") return {{"ESockError"}};
            return {{"ESockError"}, "Connexion fermée par le serveur"};
        case Fault::ResetControl:
            if (c.op == Op::Disconnect) return {{"ok", "ESockError"}};
            return {{"ESockError"}};
        case Fault::Silent:
            return {{"EAbortError"}};
        case Fault::EndlessLine:
            // List drops the failing SYST; its next reply never comes.
            if (s->name == "SYST") return {{"EAbortError"}};
            return {{"ESockError"}, "Ligne trop longue : plus de 65536 octets sans fin de ligne"};
        case Fault::CloseData:
            // A download sees the end of the data, then the 426; an upload may fail on its next send first.
            return s->upload ? Expected{{"ESockError", "FTPException"}}
                             : Expected{{"FTPException"}, "426 Connection closed; transfer aborted.\r\n"};
        case Fault::ResetData:
            return {{"ESockError", "FTPException"}};
        case Fault::StallData:
            // Uploads and downloads end on the data socket's time-out, listings on their line loop's.
            if (c.op == Op::List || c.op == Op::Nlist) return {{"EAbortError"}, "Transfert abandonné"};
            return {{"EAbortError"}, "Envoi de Socket abandonné"};
        case Fault::NoConnection:
            return {{"ESockError"}, "Acceptation annulée"};
    }
    return {};
}

TCmdType CmdTypeOf(Op op) {
    switch (op) {
        case Op::ChangeDir:
            return NMFtp::cmdChangeDir;
        case Op::MakeDirectory:
            return NMFtp::cmdMakeDir;
        case Op::RemoveDir:
            return NMFtp::cmdRemoveDir;
        case Op::Delete:
            return NMFtp::cmdDelete;
        case Op::Rename:
            return NMFtp::cmdRename;
        case Op::GetCurrentDir:
            return NMFtp::cmdCurrentDir;
        case Op::List:
            return NMFtp::cmdList;
        case Op::Nlist:
            return NMFtp::cmdNList;
        case Op::Upload:
        case Op::UploadUnique:
        case Op::UploadRestore:
        case Op::Download:
            return NMFtp::cmdUpload;
        case Op::UploadAppend:
            return NMFtp::cmdAppend;
        case Op::DownloadRestore:
            return NMFtp::cmdDownload;
        default:
            return NMFtp::cmdDoCommand;
    }
}

std::size_t OpenDescriptors() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A client wired to a scripted peer, with its outcome events recorded and a watchdog that ends any phase
// that runs too long: it stops the peer (every connection closes) and cancels the client's waits.
struct Rig {
    ScriptedPeer peer;
    std::unique_ptr<TNMFTP> ftp = std::make_unique<TNMFTP>(nullptr);
    std::vector<std::string> events;
    std::vector<std::string> items;
    Psock::TThreadTimer watchdog{nullptr};
    bool hung = false;

    Rig() {
        ftp->SetHost("127.0.0.1");
        ftp->SetPort(peer.Port());
        ftp->SetTimeOut(kTimeOut);
        ftp->SetUserID(kUser);
        ftp->SetPassword(kPass);
        ftp->OnConnect = [this](vcl::TObject*) { events.push_back("connect"); };
        ftp->OnSuccess = [this](TCmdType t) { events.push_back("success " + std::to_string(t)); };
        ftp->OnFailure = [this](bool&, TCmdType t) { events.push_back("failure " + std::to_string(t)); };
        ftp->OnListItem = [this](const std::string& line) { items.push_back(line); };
        if (std::getenv("FM_TRACE")) {
            ftp->SetReportLevel(8);
            ftp->OnStatus = [](vcl::TComponent*, const std::string& s) {
                fprintf(stderr, "  status: %s\n", s.c_str());
            };
        }
        watchdog.SetEnabled(false);
        watchdog.SetInterval(kWatchdogMs);
        watchdog.SetOnTimer([this](vcl::TObject*) {
            watchdog.SetEnabled(false);
            hung = true;
            peer.Stop();
            ftp->Abort();
            ftp->Cancel();
        });
    }

    // Runs one phase under the watchdog.
    Outcome Run(const std::function<void()>& f) {
        watchdog.SetEnabled(true);
        Outcome o = OutcomeOf(f);
        watchdog.SetEnabled(false);
        return o;
    }
};

class FaultMatrix : public ::testing::TestWithParam<Cell> {
  protected:
    // Everything that the first connection of a process opens for good (the notifier thread's wake-up
    // descriptors, the event loop's) exists before the first descriptor count.
    static void SetUpTestSuite() {
        Rig r;
        Login(r.peer);
        r.peer.Expect("NOOP").Reply("200 NOOP ok.").Expect("QUIT").Reply("221 Goodbye.");
        r.peer.Start();
        r.ftp->Connect();
        r.ftp->DoCommand("NOOP");
        r.ftp->Disconnect();
        r.peer.Wait(5000);
    }
    static void TearDownTestSuite() { fs::remove_all(WorkDir()); }
};

void RunOperation(Op op, TNMFTP& f, const std::string& upload, const std::string& download) {
    switch (op) {
        case Op::Connect:
            return f.Connect();
        case Op::ChangeDir:
            return f.ChangeDir("quil");
        case Op::MakeDirectory:
            return f.MakeDirectory("nouveau");
        case Op::RemoveDir:
            return f.RemoveDir("ancien");
        case Op::Delete:
            return f.Delete("a.txt");
        case Op::Rename:
            return f.Rename("a.txt", "b.txt");
        case Op::GetCurrentDir:
            f.GetCurrentDir();
            return;
        case Op::Mode:
            return f.Mode(3);
        case Op::Reinitialize:
            return f.Reinitialize();
        case Op::Allocate:
            return f.Allocate(1024);
        case Op::DoCommand:
            return f.DoCommand("NOOP");
        case Op::Disconnect:
            return f.Disconnect();
        case Op::List:
            f.SetParseList(true);
            return f.List();
        case Op::Nlist:
            return f.Nlist();
        case Op::Upload:
            return f.Upload(upload, "f.bin");
        case Op::UploadAppend:
            return f.UploadAppend(upload, "f.bin");
        case Op::UploadUnique:
            return f.UploadUnique(upload);
        case Op::UploadRestore:
            return f.UploadRestore(upload, "f.bin", kRestPosition);
        case Op::Download:
            return f.Download("f.bin", download);
        case Op::DownloadRestore:
            return f.DownloadRestore("f.bin", download);
    }
}

void Report(const Cell& c, const Outcome& o, long long ms) {
    const char* path = std::getenv("FAULT_MATRIX_REPORT");
    if (!path) return;
    std::ofstream out(path, std::ios::app);
    std::string message = o.message;
    message.erase(
        std::remove_if(message.begin(), message.end(), [](char ch) { return ch == '\r' || ch == '\n'; }),
        message.end());
    out << OpName(c.op) << '|'
        << (!Transfers(c.op)     ? "-"
            : AlwaysActive(c.op) ? "active*"
            : c.passive          ? "passive"
                                 : "active")
        << '|' << c.stepName << '|' << FaultName(c.fault) << '|' << o.type << '|' << message << '|' << ms
        << '\n';
}

TEST_P(FaultMatrix, FailsAsDocumentedAndRecovers) {
    const Cell& c = GetParam();
    const auto steps = Dialogue(c.op, c.passive);
    const Step* step = c.step >= 0 ? &steps[c.step] : nullptr;
    const bool bigUpload = Uploads(c.op) && step && step->data;
    const std::string upload = bigUpload ? LargeFile() : SmallFile();
    const std::string download = (WorkDir() / "copy.bin").string();
    fs::remove(download);
    if (c.op == Op::DownloadRestore)
        std::ofstream(download, std::ios::binary) << ServerFile().substr(0, kRestPosition);

    const std::size_t descriptors = OpenDescriptors();
    {
        Rig r;
        Script(r.peer, c);
        r.peer.Start();
        if (c.op != Op::Connect) {
            ASSERT_EQ(r.Run([&] { r.ftp->Connect(); }).type, "ok") << r.peer.FailureText();
        }
        r.events.clear();
        r.ftp->SetPassive(c.passive);

        const auto start = std::chrono::steady_clock::now();
        const Outcome got = r.Run([&] { RunOperation(c.op, *r.ftp, upload, download); });
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                .count();
        Report(c, got, ms);
        ASSERT_FALSE(r.hung) << "the operation hung: " << r.peer.FailureText();

        const Expected want = ExpectedOf(c, step);
        EXPECT_NE(std::find(want.types.begin(), want.types.end(), got.type), want.types.end())
            << "got " << got.type << " \"" << got.message << "\"";
        if (!want.message.empty() && got.type != "ok") {
            EXPECT_EQ(got.message, want.message);
        }

        // The outcome is reported once, and a failure never as a success.
        const std::string success = "success " + std::to_string(CmdTypeOf(c.op));
        const auto successes = std::count(r.events.begin(), r.events.end(), success);
        const auto connects = std::count(r.events.begin(), r.events.end(), "connect");
        if (got.type == "ok") {
            if (c.op == Op::Connect) {
                EXPECT_EQ(connects, 1);
            } else if (c.op != Op::Disconnect) {
                EXPECT_EQ(successes, 1) << ::testing::PrintToString(r.events);
            }
        } else {
            EXPECT_EQ(successes, 0) << ::testing::PrintToString(r.events);
            EXPECT_EQ(connects, 0);
            // Upload and Download pass every exception to OnFailure first.
            if (c.op == Op::Upload || c.op == Op::Download) {
                const std::string failure = "failure " + std::to_string(NMFtp::cmdUpload);
                EXPECT_NE(std::find(r.events.begin(), r.events.end(), failure), r.events.end());
            }
        }
        if (c.fault == Fault::None && (c.op == Op::Download || c.op == Op::DownloadRestore)) {
            // The baseline moved every byte.
            const std::string moved = ReadFile(download);
            EXPECT_TRUE(moved == ServerFile()) << moved.size() << " bytes written";
        }

        // The component works again after Disconnect and Connect.
        r.Run([&] { r.ftp->Disconnect(); });
        EXPECT_FALSE(r.ftp->Connected());
        const Outcome reconnect = r.Run([&] { r.ftp->Connect(); });
        EXPECT_EQ(reconnect.type, "ok") << reconnect.message << "\n" << r.peer.FailureText();
        r.ftp->SetParseList(false);
        r.ftp->SetPassive(c.passive);
        r.items.clear();
        EXPECT_EQ(r.Run([&] { r.ftp->List(); }).type, "ok") << r.peer.FailureText();
        EXPECT_EQ(r.items, std::vector<std::string>{"probe.txt"});
        EXPECT_EQ(r.Run([&] { r.ftp->Disconnect(); }).type, "ok");
        EXPECT_FALSE(r.hung) << r.peer.FailureText();
        ASSERT_TRUE(r.peer.Wait(5000)) << r.peer.FailureText();
        EXPECT_TRUE(r.peer.Ok()) << r.peer.FailureText();
        if (c.fault == Fault::None && Uploads(c.op)) {
            // The server has seen every byte of the baseline upload (UploadUnique does not wait for it).
            const std::string want = ReadFile(upload).substr(c.op == Op::UploadRestore ? kRestPosition : 0);
            const std::string moved = r.peer.DataBytes();
            EXPECT_TRUE(moved == want) << moved.size() << " bytes received of " << want.size();
        }
    }
    EXPECT_EQ(OpenDescriptors(), descriptors) << "descriptors left open";
}

INSTANTIATE_TEST_SUITE_P(Cells, FaultMatrix, ::testing::ValuesIn(AllCells()), CellName);

}  // namespace
