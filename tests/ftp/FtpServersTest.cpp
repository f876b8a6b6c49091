// The FTP client against the real servers that scripts/servers starts on 127.0.0.1. Their ports, the
// throwaway account and each server's root folder come from the environment; a missing server fails.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "ftp/FtpServers.h"
#include "net/ftp/NMFtp.h"

namespace fs = std::filesystem;
using NMFtp::FTPException;
using NMFtp::TCmdType;
using NMFtp::TNMFTP;

using ftpservers::Answer;
using ftpservers::Client;
using ftpservers::Server;
using ftpservers::Servers;
using ftpservers::Trim;

TEST(IntegrationFtpServers, SessionAndSingleCommands) {
    for (const Server& s : Servers()) {
        SCOPED_TRACE(s.name);
        auto ftp = Client(s);
        std::vector<std::string> events;
        ftp->OnConnect = [&](vcl::TObject*) { events.push_back("connect"); };
        ftp->OnDisconnect = [&](vcl::TObject*) { events.push_back("disconnect"); };
        ftp->OnUnSupportedFunction = [&](TCmdType t) {
            events.push_back("unsupported " + std::to_string(t));
        };
        ASSERT_NO_THROW(ftp->Connect());
        ftp->ChangeDir("memoire");
        ftp->ChangeDir("quil");
        const std::string cwd = ftp->GetCurrentDir();
        EXPECT_TRUE(cwd.size() >= 13 && cwd.compare(cwd.size() - 13, 13, "/memoire/quil") == 0) << cwd;

        const fs::path here = s.root / "memoire" / "quil";
        ftp->MakeDirectory("sousdossier");
        EXPECT_TRUE(fs::is_directory(here / "sousdossier"));
        ftp->RemoveDir("sousdossier");
        EXPECT_FALSE(fs::exists(here / "sousdossier"));
        std::ofstream(here / "avant.txt") << "contenu\n";
        ftp->Rename("avant.txt", "apres.txt");
        EXPECT_TRUE(fs::exists(here / "apres.txt"));
        EXPECT_FALSE(fs::exists(here / "avant.txt"));
        ftp->Delete("apres.txt");
        EXPECT_FALSE(fs::exists(here / "apres.txt"));

        // What each server answers, for the record.
        std::cout << s.name << " TYPE A: " << Trim(Answer(*ftp, "TYPE A")) << "\n"
                  << s.name << " TYPE I: " << Trim(Answer(*ftp, "TYPE I")) << "\n"
                  << s.name << " TYPE L 8: " << Trim(Answer(*ftp, "TYPE L 8")) << "\n"
                  << s.name << " SYST: " << Trim(Answer(*ftp, "SYST")) << "\n";
        EXPECT_NO_THROW(ftp->Mode(1));
        EXPECT_NO_THROW(ftp->Mode(2));

        events.clear();
        try {
            ftp->DoCommand("XYZZY");
            ADD_FAILURE() << "an unknown command succeeded";
        } catch (const FTPException& e) {
            std::cout << s.name << " XYZZY: " << Trim(e.Message()) << "\n";
            EXPECT_EQ(e.Message().substr(0, 3), "500");
        }
        EXPECT_EQ(events, std::vector<std::string>{"unsupported 14"});

        events.clear();
        ftp->Disconnect();
        EXPECT_EQ(events, std::vector<std::string>{"disconnect"});
        EXPECT_FALSE(ftp->Connected());
        ASSERT_NO_THROW(ftp->Connect());
        EXPECT_EQ(events, (std::vector<std::string>{"disconnect", "connect"}));
        ftp->Disconnect();
    }
}

TEST(IntegrationFtpServers, WrongPasswordFailsTheLogin) {
    for (const Server& s : Servers()) {
        SCOPED_TRACE(s.name);
        auto ftp = Client(s);
        ftp->SetPassword("wrongpw0");
        std::vector<std::string> events, statuses;
        ftp->OnConnectionFailed = [&](vcl::TObject*) { events.push_back("failed"); };
        ftp->OnDisconnect = [&](vcl::TObject*) { events.push_back("disconnect"); };
        ftp->OnStatus = [&](vcl::TComponent*, const std::string& st) { statuses.push_back(st); };
        try {
            ftp->Connect();
            ADD_FAILURE() << "logged in with a wrong password";
        } catch (const FTPException& e) {
            EXPECT_EQ(e.Message().substr(0, 3), "530") << e.Message();
        }
        EXPECT_EQ(events, (std::vector<std::string>{"failed", "disconnect"}));
        EXPECT_NE(std::find(statuses.begin(), statuses.end(), "QUIT"), statuses.end());
        EXPECT_EQ(statuses.back(), "Déconnecté");
        EXPECT_FALSE(ftp->Connected());
    }
}
