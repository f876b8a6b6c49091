// Uploads and downloads against the real servers, in passive and active mode, compared byte for byte.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "ftp/FtpServers.h"
#include "net/ftp/NMFtp.h"
#include "platform/vcl/Forms.h"

namespace fs = std::filesystem;
using ftpservers::Client;
using ftpservers::ReadFile;
using ftpservers::Servers;
using ftpservers::WriteFile;
using NMFtp::TNMFTP;

namespace {

std::string RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(gen());
    return s;
}

}  // namespace

TEST(IntegrationTransfers, UploadThenDownloadByteForByteInBothModes) {
    const fs::path work = fs::temp_directory_path() / ("envoi-transfers-" + std::to_string(::getpid()));
    fs::create_directories(work);
    const std::vector<std::size_t> sizes = {0, 1, 65535, 65536, 65537, 150000, 10u << 20};
    for (const auto& s : Servers()) {
        for (bool passive : {true, false}) {
            SCOPED_TRACE(s.name + (passive ? " passive" : " active"));
            auto ftp = Client(s);
            ftp->SetPassive(passive);
            std::int64_t lastSent = -1;
            ftp->OnPacketSent = [&](vcl::TObject* sender) {
                EXPECT_NE(sender, ftp.get()) << "the data socket is the sender";
                lastSent = ftp->GetBytesSent();
            };
            ASSERT_NO_THROW(ftp->Connect());
            ftp->ChangeDir("memoire");
            ftp->ChangeDir("quil");
            ftp->Mode(2);
            for (std::size_t size : sizes) {
                SCOPED_TRACE(size);
                const std::string bytes = RandomBytes(size, static_cast<unsigned>(size));
                const fs::path local = work / ("source-" + std::to_string(size) + ".bin");
                WriteFile(local, bytes);
                const std::string remote = "t" + std::to_string(size) + (passive ? "p" : "a") + ".bin";
                lastSent = -1;
                ASSERT_NO_THROW(ftp->Upload(local.string(), remote));
                EXPECT_EQ(ftp->BytesTotal(), static_cast<std::int64_t>(size));
                if (size > 0) {
                    EXPECT_EQ(lastSent, static_cast<std::int64_t>(size));
                }
                EXPECT_TRUE(ReadFile(s.root / "memoire" / "quil" / remote) == bytes) << "server copy differs";

                const fs::path back = work / ("back-" + remote);
                ASSERT_NO_THROW(ftp->Download(remote, back.string()));
                EXPECT_EQ(ftp->BytesTotal(), static_cast<std::int64_t>(size));
                EXPECT_TRUE(ReadFile(back) == bytes) << "downloaded copy differs";
                ftp->Delete(remote);
            }
            ftp->Disconnect();
        }
    }
    fs::remove_all(work);
}

TEST(IntegrationTransfers, ResumeAppendUniqueAndTheWindowsSequence) {
    const fs::path work = fs::temp_directory_path() / ("envoi-resume-" + std::to_string(::getpid()));
    fs::create_directories(work);
    const std::string whole = RandomBytes(10000, 7);
    const fs::path local = work / "fichier.bin";
    WriteFile(local, whole);
    for (const auto& s : Servers()) {
        SCOPED_TRACE(s.name);
        const fs::path dir = s.root / "memoire" / "quil";
        auto ftp = Client(s);
        ftp->SetPassive(true);
        ASSERT_NO_THROW(ftp->Connect());
        ftp->ChangeDir("memoire");
        ftp->ChangeDir("quil");
        ftp->Mode(2);

        // The first 4096 bytes are already there: the resumed upload completes the file.
        WriteFile(dir / "repris.bin", whole.substr(0, 4096));
        ASSERT_NO_THROW(ftp->UploadRestore(local.string(), "repris.bin", 4096));
        EXPECT_EQ(ftp->BytesTotal(), 10000);
        EXPECT_TRUE(ReadFile(dir / "repris.bin") == whole);

        // Half a download is there: the resumed download completes it.
        const fs::path half = work / ("moitie-" + s.name);
        WriteFile(half, whole.substr(0, 5000));
        ASSERT_NO_THROW(ftp->DownloadRestore("repris.bin", half.string()));
        EXPECT_TRUE(ReadFile(half) == whole);

        ASSERT_NO_THROW(ftp->UploadAppend(local.string(), "repris.bin"));
        EXPECT_TRUE(ReadFile(dir / "repris.bin") == whole + whole);
        ftp->Delete("repris.bin");

        // The window's own sequence: TYPE L 8, then the full Linux path and the bare name.
        ftp->Mode(3);
        ASSERT_NO_THROW(ftp->Upload(local.string(), "fichier.bin"));
        EXPECT_TRUE(ReadFile(dir / "fichier.bin") == whole);
        ftp->Delete("fichier.bin");
        // An empty remote name takes the bare name of the local path, never the path.
        ASSERT_NO_THROW(ftp->Upload(local.string(), ""));
        EXPECT_TRUE(ReadFile(dir / "fichier.bin") == whole);
        ftp->Delete("fichier.bin");
        ftp->Disconnect();

        // STOU in a session of its own (one server overwrites on APPE after STOU in the same session).
        auto unique = Client(s);
        ASSERT_NO_THROW(unique->Connect());
        unique->ChangeDir("memoire");
        unique->ChangeDir("quil");
        unique->Mode(2);
        try {
            unique->UploadUnique(local.string());
            // The operation does not wait for the completion reply: some servers finish storing after it.
            int matches = 0;
            for (int i = 0; i < 100 && matches == 0; ++i) {
                vcl::Application->ProcessMessagesWaiting(50);
                for (const auto& e : fs::directory_iterator(dir)) {
                    if (e.is_regular_file() && ReadFile(e.path()) == whole) {
                        ++matches;
                        fs::remove(e.path());
                    }
                }
            }
            EXPECT_EQ(matches, 1) << "STOU stored one copy";
            std::cout << s.name << " STOU: supported\n";
        } catch (const vcl::Exception& e) {
            std::cout << s.name << " STOU: " << e.Message() << "\n";
        }
        unique->Disconnect();
    }
    fs::remove_all(work);
}
