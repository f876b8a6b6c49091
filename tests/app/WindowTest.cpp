// The window, driven by clicks against a scripted FTP peer: connection, listing, upload, and what the
// user sees when something fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "WindowDriver.h"
#include "app/Unit1.h"
#include "support/ScriptedPeer.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ScriptedPeer;
using namespace windowtest;

constexpr char kUser[] = "u12345678";
constexpr char kPass[] = "s3cretpw";

// Listing lines as servers send them: UTF-8, Windows-1252 and plain ASCII.
const std::string kLineUtf8 = "-rw-r--r--   1 ftp ftp   5 Jan 01  2026 caf\xc3\xa9.txt";
const std::string kLineCp1252 = "-rw-r--r--   1 ftp ftp   7 Jan 01  2026 \xe9t\xe9 1999.txt";
const std::string kLineDir = "drwxr-xr-x   2 ftp ftp 4096 Jan 01  2026 photos";
const std::vector<std::string> kShownListing = {"-rw-r--r--   1 ftp ftp   5 Jan 01  2026 café.txt",
                                                "-rw-r--r--   1 ftp ftp   7 Jan 01  2026 été 1999.txt",
                                                kLineDir};

class WindowTest : public ::testing::Test {
  public:
    void SetUp() override {
        vcl::Application->CreateForm(Form1);
        Settle();
        Form1->NMFTP1->SetHost("127.0.0.1");
        Form1->NMFTP1->SetPort(peer.Port());
        Form1->NMFTP1->SetUserID(kUser);
        Form1->NMFTP1->SetPassword(kPass);
        Form1->NMFTP1->SetTimeOut(5000);
        RecordStatuses();
    }
    void TearDown() override {
        delete Form1;
        Form1 = nullptr;
        peer.Stop();
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    // Every status text that the window's handlers show, in order: recorded before and after each
    // handler of the FTP client's events (a handler may run others nested before it returns).
    void RecordStatuses() {
        auto record = [this] {
            const std::string text = Form1->StatusBar1->SimpleText();
            if (statuses.empty() || statuses.back() != text) statuses.push_back(text);
        };
        auto& ftp = *Form1->NMFTP1;
        auto wrap = [record](auto& event) {
            event = [original = event, record](auto&&... args) {
                record();
                original(args...);
                record();
            };
        };
        wrap(ftp.OnConnect);
        wrap(ftp.OnSuccess);
        wrap(ftp.OnPacketSent);
        wrap(ftp.OnDisconnect);
        wrap(ftp.OnTransactionStart);
        wrap(ftp.OnTransactionStop);
    }
    bool SawStatus(const std::string& text) const {
        return std::find(statuses.begin(), statuses.end(), text) != statuses.end();
    }

    // The peer logs the window in and lists its folder with the given lines (active mode).
    void ScriptConnection(const std::vector<std::string>& lines) {
        peer.Accept().Reply("220 Ready").Expect(std::string("USER ") + kUser).Reply("331 Password");
        peer.Expect(std::string("PASS ") + kPass).Reply("230 Logged in");
        peer.Expect("CWD memoire").Reply("250 OK").Expect("CWD quil").Reply("250 OK");
        ScriptListing(lines);
    }
    void ScriptListing(const std::vector<std::string>& lines) {
        std::string bytes;
        for (const auto& line : lines) bytes += line + "\r\n";
        peer.ExpectPort().Expect("LIST").Reply("150 Here it comes");
        peer.DataConnect().DataSend(bytes).DataClose().Reply("226 Directory send OK.");
    }
    void Connect() {
        peer.Start();
        Click(Form1->connecter);
    }

    fs::path MakeFile(const std::string& name, std::size_t size) {
        const fs::path path = dir / name;
        std::string content(size, '\0');
        for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
        std::ofstream(path, std::ios::binary) << content;
        contents[path] = content;
        return path;
    }

    ScriptedPeer peer;
    DialogAnswerer dialogs;
    std::vector<std::string> statuses;
    fs::path dir = [] {
        const fs::path d = fs::temp_directory_path() / ("envoi-window-" + std::to_string(::getpid()));
        fs::create_directories(d);
        return d;
    }();
    std::map<fs::path, std::string> contents;
};

TEST_F(WindowTest, StartsWaitingWithTheFolderAndServerInItsCaption) {
    EXPECT_EQ(Form1->StatusBar1->SimpleText(), "En attente de commande...");
    EXPECT_EQ(Form1->Caption(), "Chargement des fichiers de la quil sur le serveur ftp.example.org");
    EXPECT_TRUE(Form1->connecter->Enabled());
    EXPECT_FALSE(Form1->Selection->Enabled());
    EXPECT_EQ(MemoLines(), (std::vector<std::string>{"Etablissez votre connexion Internet puis,",
                                                     "Connectez-vous au serveur..."}));
    EXPECT_EQ(Form1->Label1->Caption(), "");
}

TEST_F(WindowTest, ConnectionListsTheFolderDecodingEachLine) {
    ScriptConnection({kLineUtf8, kLineCp1252, kLineDir});
    Connect();
    EXPECT_TRUE(peer.Wait(2000)) << peer.FailureText();
    EXPECT_TRUE(peer.Ok()) << peer.FailureText();
    EXPECT_EQ(Form1->StatusBar1->SimpleText(), "Affichage actualisé");
    EXPECT_EQ(Form1->Label1->Caption(), "Liste des fichiers présents sur le serveur");
    EXPECT_EQ(MemoLines(), kShownListing);
    EXPECT_FALSE(Form1->connecter->Enabled());
    EXPECT_TRUE(Form1->Selection->Enabled());
    EXPECT_TRUE(SawStatus("Connecté avec le serveur 127.0.0.1"));
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(WindowTest, UploadSendsTheFileUnderItsBareNameAndListsAgain) {
    const fs::path file = MakeFile("mon fichier d'\xc3\xa9t\xc3\xa9.txt", 150000);
    ScriptConnection({kLineDir});
    peer.Expect("TYPE L 8").Reply("200 Type set");
    peer.ExpectPort().Expect("STOR mon fichier d'\xc3\xa9t\xc3\xa9.txt").Reply("150 Ok to send data.");
    peer.DataConnect().DataReceiveAll(5000).Reply("226 Transfer complete.");
    ScriptListing(
        {kLineDir, "-rw-r--r--   1 ftp ftp 150000 Jan 01  2026 mon fichier d'\xc3\xa9t\xc3\xa9.txt"});
    Connect();
    dialogs.files.push_back({file.string(), nullptr});
    Click(Form1->Selection);

    EXPECT_TRUE(peer.Wait(2000)) << peer.FailureText();
    EXPECT_TRUE(peer.Ok()) << peer.FailureText();
    EXPECT_TRUE(peer.DataBytes() == contents[file])
        << "the server got " << peer.DataBytes().size() << " bytes";
    EXPECT_EQ(dialogs.shown, std::vector<std::string>{"file"});
    EXPECT_TRUE(SawStatus("Il y a 65536 octets envoyés sur 150000"));
    EXPECT_TRUE(SawStatus("Il y a 150000 octets envoyés sur 150000"));
    EXPECT_TRUE(SawStatus("Transmission réussie"));
    EXPECT_EQ(Form1->StatusBar1->SimpleText(), "Affichage actualisé");
    EXPECT_EQ(MemoLines(),
              (std::vector<std::string>{kLineDir,
                                        "-rw-r--r--   1 ftp ftp 150000 Jan 01  2026 mon fichier d'été.txt"}));
    EXPECT_TRUE(Form1->Selection->Enabled());
}

TEST_F(WindowTest, CancelledDialogUploadsNothingAndKeepsTheButton) {
    ScriptConnection({kLineDir});
    peer.Expect("TYPE L 8").Reply("200 Type set").DiscardUntilQuit(3000);
    Connect();
    Click(Form1->Selection);  // no answer queued: the dialog is cancelled
    EXPECT_EQ(dialogs.shown, std::vector<std::string>{"file"});
    EXPECT_TRUE(Form1->Selection->Enabled());
    EXPECT_EQ(Form1->StatusBar1->SimpleText(), "DoCommand success");
    Form1->NMFTP1->Disconnect();  // QUIT ends the peer's script
    ASSERT_TRUE(peer.Wait(2000));
    const auto received = peer.Received();
    EXPECT_EQ(std::count_if(received.begin(), received.end(),
                            [](const std::string& l) { return l.rfind("STOR", 0) == 0 || l == "PORT"; }),
              0);
    EXPECT_EQ(received.back(), "QUIT");
}

TEST_F(WindowTest, RefusedTypeShowsTheReplyAndOpensNoDialog) {
    ScriptConnection({kLineDir});
    peer.Expect("TYPE L 8").Reply("504 Type not implemented for that parameter.");
    Connect();
    Click(Form1->Selection);
    Settle();
    EXPECT_EQ(dialogs.shown, std::vector<std::string>{"box: 504 Type not implemented for that parameter."});
    EXPECT_FALSE(Form1->Selection->Enabled());
    // The box has closed: the window is active again and waits for the next command.
    EXPECT_EQ(Form1->StatusBar1->SimpleText(), "En attente de commande...");
}

TEST_F(WindowTest, UnresolvableHostAsksForAnotherOne) {
    Form1->NMFTP1->SetHost("no-such-host.invalid");
    dialogs.inputs.push_back({true, "127.0.0.1"});
    ScriptConnection({kLineDir});
    Connect();
    ASSERT_FALSE(dialogs.shown.empty());
    EXPECT_EQ(dialogs.shown[0], "input: Hôte invalide / Please Choose another host");
    EXPECT_EQ(Form1->StatusBar1->SimpleText(), "Affichage actualisé");
    EXPECT_EQ(MemoLines(), std::vector<std::string>{kLineDir});
}

// What the user sees when the server or the network fails somewhere on the road of an upload.
struct FailureCase {
    const char* name;
    std::function<void(WindowTest&, ScriptedPeer&)> script;
    bool upload;                     // after connecting, choose a file and send it
    std::vector<std::string> boxes;  // the message boxes, in order ("*" matches any text)
};

class WindowFailureTest : public WindowTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(WindowFailureTest, EndsInMessageBoxesNeverInSuccess) {
    const FailureCase& c = GetParam();
    c.script(*this, peer);
    const fs::path file = MakeFile("rapport.txt", 70000);
    Connect();
    if (c.upload) {
        dialogs.files.push_back({file.string(), nullptr});
        Click(Form1->Selection);
    }
    Settle();
    ASSERT_EQ(dialogs.shown.size(), c.boxes.size()) << ::testing::PrintToString(dialogs.shown);
    for (std::size_t i = 0; i < c.boxes.size(); ++i) {
        if (c.boxes[i] != "*") {
            EXPECT_EQ(dialogs.shown[i], c.boxes[i]);
        }
    }
    EXPECT_FALSE(SawStatus("Transmission réussie"));
    EXPECT_FALSE(Form1->connecter->Enabled());
    EXPECT_FALSE(Form1->Selection->Enabled());
    EXPECT_EQ(Form1->StatusBar1->SimpleText(), "En attente de commande...");
}

void LoginOnly(ScriptedPeer& p) {
    p.Accept().Reply("220 Ready").Expect(std::string("USER ") + kUser).Reply("331 Password");
    p.Expect(std::string("PASS ") + kPass);
}

// Logged in, listed, "TYPE L 8" accepted, and the store command of rapport.txt received.
void UpToStore(WindowTest& t, ScriptedPeer& p) {
    LoginOnly(p);
    p.Reply("230 In").Expect("CWD memoire").Reply("250 OK").Expect("CWD quil").Reply("250 OK");
    t.ScriptListing({kLineDir});
    p.Expect("TYPE L 8").Reply("200 Type set").ExpectPort().Expect("STOR rapport.txt");
}

const FailureCase kFailures[] = {
    {"ConnectionRefused",
     [](WindowTest&, ScriptedPeer&) { Form1->NMFTP1->SetPort(ScriptedPeer::UnusedPort()); },
     false,
     {"box: Echec de la connexion", "*"}},
    {"LoginRefused",
     [](WindowTest&, ScriptedPeer& p) {
         LoginOnly(p);
         p.Reply("530 Login incorrect.").DiscardUntilQuit(3000);
     },
     false,
     {"box: Echec de la connexion", "box: 530 Login incorrect."}},
    {"FolderMissing",
     [](WindowTest&, ScriptedPeer& p) {
         LoginOnly(p);
         p.Reply("230 In").Expect("CWD memoire").Reply("550 Failed to change directory.");
         p.DiscardUntilQuit(3000);
     },
     false,
     {"box: 550 Failed to change directory."}},
    {"ServerClosesDuringLogin",
     [](WindowTest&, ScriptedPeer& p) {
         LoginOnly(p);
         p.Close();
     },
     false,
     {"box: Echec de la connexion", "box: Connexion fermée par le serveur"}},
    {"StoreRefused",
     [](WindowTest& t, ScriptedPeer& p) {
         UpToStore(t, p);
         p.Reply("553 Could not create file.");
     },
     true,
     {"file", "box: 553 Could not create file."}},
    {"StoreUnknownToTheServer",
     [](WindowTest& t, ScriptedPeer& p) {
         UpToStore(t, p);
         p.Reply("502 Command not implemented.");
     },
     true,
     {"file", "box: Upload not supported", "box: 502 Command not implemented."}},
    {"QuotaFullOnCompletion",
     [](WindowTest& t, ScriptedPeer& p) {
         UpToStore(t, p);
         p.Reply("150 Ok to send data.").DataConnect().DataReceiveAll(5000);
         p.Reply("552 Requested file action aborted. Exceeded storage allocation.");
     },
     true,
     {"file", "box: 552 Requested file action aborted. Exceeded storage allocation."}},
};

INSTANTIATE_TEST_SUITE_P(Window, WindowFailureTest, ::testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WindowTest, VanishedFileShowsTheFileErrorAndTheToolGoesOn) {
    const fs::path file = MakeFile("disparu.txt", 10);
    ScriptConnection({kLineDir});
    peer.Expect("TYPE L 8").Reply("200 Type set").DiscardUntilQuit(3000);
    Connect();
    dialogs.files.push_back({file.string(), [file] { fs::remove(file); }});
    Click(Form1->Selection);
    Settle();
    ASSERT_EQ(dialogs.shown.size(), 2u) << ::testing::PrintToString(dialogs.shown);
    EXPECT_EQ(dialogs.shown[1].rfind("box: Impossible d'ouvrir le fichier", 0), 0u) << dialogs.shown[1];
    EXPECT_FALSE(SawStatus("Transmission réussie"));
    // The connection is still there: the next command goes through.
    Form1->NMFTP1->Disconnect();
    ASSERT_TRUE(peer.Wait(2000));
    EXPECT_EQ(peer.Received().back(), "QUIT");
}

TEST_F(WindowTest, ClosingDuringAnUploadEndsCleanlyWithoutQuit) {
    const fs::path file = MakeFile("gros.bin", 32 << 20);
    ScriptConnection({kLineDir});
    peer.Expect("TYPE L 8").Reply("200 Type set").ExpectPort().Expect("STOR gros.bin");
    // The server takes the first bytes and then stops reading, so the upload is still running.
    peer.Reply("150 Ok to send data.").DataConnect().DataReadBytes(1 << 20, 5000);
    peer.DiscardUntilQuit(10000);
    Connect();
    int packets = 0;
    auto original = Form1->NMFTP1->OnPacketSent;
    Form1->NMFTP1->OnPacketSent = [&, original](vcl::TObject* s) {
        original(s);
        if (++packets == 4) Click(Form1->quitter);
    };
    dialogs.files.push_back({file.string(), nullptr});
    Click(Form1->Selection);  // returns once the upload has stopped

    EXPECT_EQ(packets, 4) << "the upload went on after the window closed";
    EXPECT_TRUE(vcl::Application->Terminated());
    EXPECT_FALSE(Form1->Visible());
    EXPECT_EQ(vcl::Application->Run(), 0);  // the message loop has nothing left to run
    EXPECT_FALSE(SawStatus("Transmission réussie"));
    delete Form1;  // as the program's end does: the connection closes
    Form1 = nullptr;
    ASSERT_TRUE(peer.Wait(3000)) << peer.FailureText();
    const auto received = peer.Received();
    EXPECT_EQ(std::find(received.begin(), received.end(), "QUIT"), received.end());
}

}  // namespace

namespace {

TEST(BareFileNameTest, TakesTheTextAfterTheLastSeparatorOfEitherKind) {
    const std::pair<const char*, const char*> cases[] = {
        {"/home/marie/mon fichier d'été.txt", "mon fichier d'été.txt"},
        {"C:\\Documents\\rapport.doc", "rapport.doc"},
        {"C:\\Documents/mixte\\dernier.txt", "dernier.txt"},
        {"seul.txt", "seul.txt"},
        {"/dossier/", ""},
    };
    for (const auto& [path, bare] : cases) EXPECT_EQ(BareFileName(path), bare) << path;
}

}  // namespace
