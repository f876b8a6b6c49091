// Listings from the real servers, in passive and active mode, with and without parsing.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "ftp/FtpServers.h"
#include "net/ftp/NMFtp.h"

namespace fs = std::filesystem;

TEST(IntegrationListing, ListNlistParseAndDetectAgainAfterReconnect) {
    for (const auto& s : ftpservers::Servers()) {
        const fs::path dir = s.root / "memoire" / "quil" / "liste";
        fs::create_directories(dir / "sousdossier");
        fs::create_directories(s.root / "memoire" / "quil" / "vide");
        fs::permissions(dir, fs::perms::all, fs::perm_options::add);
        ftpservers::WriteFile(dir / "un.txt", "1");
        ftpservers::WriteFile(dir / "deux.txt", std::string(2000, 'x'));
        for (bool passive : {true, false}) {
            SCOPED_TRACE(s.name + (passive ? " passive" : " active"));
            auto ftp = ftpservers::Client(s);
            ftp->SetPassive(passive);
            std::vector<std::string> items;
            ftp->OnListItem = [&](const std::string& line) { items.push_back(line); };
            ASSERT_NO_THROW(ftp->Connect());
            ftp->ChangeDir("memoire");
            ftp->ChangeDir("quil");
            ftp->ChangeDir("vide");
            ASSERT_NO_THROW(ftp->List());
            EXPECT_TRUE(items.empty()) << "an empty folder lists nothing";
            ftp->ChangeDir("../liste");

            ftp->SetParseList(true);
            ASSERT_NO_THROW(ftp->List());
            EXPECT_EQ(ftp->Vendor(), NMFtp::vendorUnix);
            auto has = [&](const std::string& name) {
                return std::any_of(items.begin(), items.end(),
                                   [&](const std::string& l) { return l.find(name) != std::string::npos; });
            };
            EXPECT_TRUE(has("un.txt") && has("deux.txt") && has("sousdossier"));
            for (const auto& l : items) EXPECT_TRUE(l.empty() || l.back() != '\n') << l;
            const auto* parser = ftp->ListParser();
            ASSERT_NE(parser, nullptr);
            bool sawDeux = false;
            for (int i = 0; i < parser->NameList().Count(); ++i) {
                if (parser->NameList()[i] == "deux.txt") {
                    sawDeux = true;
                    EXPECT_EQ(parser->SizeList()[i], "2000");
                    EXPECT_FALSE(parser->DateList()[i].empty());
                    EXPECT_EQ(parser->AttributeList()[i].substr(0, 1), "-");
                }
            }
            EXPECT_TRUE(sawDeux);

            items.clear();
            ASSERT_NO_THROW(ftp->Nlist());
            EXPECT_TRUE(has("un.txt") && has("deux.txt"));
            EXPECT_GT(ftp->BytesTotal(), 0);

            // A new session detects the server type again.
            ftp->Disconnect();
            EXPECT_EQ(ftp->Vendor(), NMFtp::vendorAuto);
            std::vector<std::string> statuses;
            ftp->OnStatus = [&](vcl::TComponent*, const std::string& st) { statuses.push_back(st); };
            ASSERT_NO_THROW(ftp->Connect());
            ftp->ChangeDir("memoire");
            ASSERT_NO_THROW(ftp->List());
            EXPECT_NE(std::find(statuses.begin(), statuses.end(), "SYST"), statuses.end());
            ftp->Disconnect();
        }
        fs::remove_all(dir);
        fs::remove_all(s.root / "memoire" / "quil" / "vide");
    }
}
