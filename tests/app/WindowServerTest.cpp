// The window against a real FTP server (the local vsftpd that scripts/servers starts): the listing it
// shows is the server's, and a file chosen in the dialog arrives byte for byte under its bare name.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "WindowDriver.h"
#include "ftp/FtpServers.h"

namespace {

namespace fs = std::filesystem;
using namespace windowtest;

// The folder's listing as a plain client of the same server sees it.
std::vector<std::string> ReferenceListing(const ftpservers::Server& server) {
    auto ftp = ftpservers::Client(server);
    std::vector<std::string> lines;
    ftp->OnListItem = [&](const std::string& line) { lines.push_back(line); };
    ftp->Connect();
    ftp->ChangeDir("memoire");
    ftp->ChangeDir("quil");
    ftp->List();
    ftp->Disconnect();
    return lines;
}

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(WindowServerTest, ListsTheFolderAndUploadsAFileByteForByte) {
    ftpservers::Server server{};
    for (const auto& s : ftpservers::Servers())
        if (s.name == "VSFTPD") server = s;
    ASSERT_EQ(server.name, "VSFTPD");

    const std::string name = "rapport d'\xc3\xa9t\xc3\xa9 2026 (final).txt";
    const fs::path local = fs::temp_directory_path() / ("envoi-window-server-" + std::to_string(::getpid()));
    fs::create_directories(local);
    std::string content(200000, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>((i * 7 + i / 997) & 0xFF);
    std::ofstream(local / name, std::ios::binary) << content;
    const fs::path remote = server.root / "memoire" / "quil" / name;
    fs::remove(remote);

    DialogAnswerer dialogs;
    vcl::Application->CreateForm(Form1);
    Form1->NMFTP1->SetHost("127.0.0.1");
    Form1->NMFTP1->SetPort(server.port);
    Form1->NMFTP1->SetUserID(ftpservers::Env("FTP_USER"));
    Form1->NMFTP1->SetPassword(ftpservers::Env("FTP_PASS"));

    Click(Form1->connecter);
    EXPECT_EQ(Form1->StatusBar1->SimpleText(), "Affichage actualisé");
    EXPECT_EQ(Form1->Label1->Caption(), "Liste des fichiers présents sur le serveur");
    EXPECT_EQ(MemoLines(), ReferenceListing(server));

    dialogs.files.push_back({(local / name).string(), nullptr});
    Click(Form1->Selection);
    EXPECT_EQ(dialogs.shown, std::vector<std::string>{"file"});
    EXPECT_EQ(Form1->StatusBar1->SimpleText(), "Affichage actualisé");
    ASSERT_TRUE(fs::exists(remote)) << remote;
    EXPECT_TRUE(ReadAll(remote) == content) << "the server holds " << fs::file_size(remote) << " bytes";
    const auto shown = MemoLines();
    EXPECT_EQ(shown, ReferenceListing(server));
    EXPECT_EQ(std::count_if(shown.begin(), shown.end(),
                            [&](const std::string& l) {
                                return l.size() > name.size() &&
                                       l.compare(l.size() - name.size(), name.size(), name) == 0;
                            }),
              1);
    EXPECT_TRUE(Form1->Selection->Enabled());

    delete Form1;
    Form1 = nullptr;
    fs::remove(remote);
    fs::remove_all(local);
}

}  // namespace
