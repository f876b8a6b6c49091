// A file of 2 GiB and more through a real server: sizes, offsets and progress counts are 64-bit.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ftp/FtpServers.h"
#include "net/ftp/NMFtp.h"

namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kSize = (std::int64_t{1} << 31) + 3;
constexpr std::size_t kBlock = 1 << 20;

// Every 1 MiB block differs from the others, so a block lost, doubled or misplaced shows.
void WritePattern(const fs::path& p) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    std::vector<std::uint64_t> block(kBlock / 8);
    for (std::int64_t done = 0, index = 0; done < kSize; ++index) {
        for (std::size_t i = 0; i < block.size(); ++i)
            block[i] = (static_cast<std::uint64_t>(index) << 32) ^ (i * 0x9E3779B97F4A7C15ull);
        const auto n = static_cast<std::streamsize>(std::min<std::int64_t>(kBlock, kSize - done));
        out.write(reinterpret_cast<const char*>(block.data()), n);
        done += n;
    }
    fs::permissions(p, fs::perms::all, fs::perm_options::add);
}

bool SameBytes(const fs::path& a, const fs::path& b) {
    if (fs::file_size(a) != fs::file_size(b)) return false;
    std::ifstream ia(a, std::ios::binary), ib(b, std::ios::binary);
    std::vector<char> ba(kBlock), bb(kBlock);
    while (ia && ib) {
        ia.read(ba.data(), static_cast<std::streamsize>(kBlock));
        ib.read(bb.data(), static_cast<std::streamsize>(kBlock));
        if (ia.gcount() != ib.gcount() || !std::equal(ba.begin(), ba.begin() + ia.gcount(), bb.begin()))
            return false;
    }
    return true;
}

}  // namespace

TEST(LargeFile, UploadAndDownloadBeyondTwoGiB) {
    const auto servers = ftpservers::Servers();
    ASSERT_FALSE(servers.empty());
    const auto& s = servers.front();  // vsftpd
    const fs::path work = fs::temp_directory_path() / ("envoi-large-" + std::to_string(::getpid()));
    fs::create_directories(work);
    const fs::path source = work / "grand.bin";
    WritePattern(source);

    auto ftp = ftpservers::Client(s);
    ftp->SetPassive(true);
    std::int64_t lastSent = 0, lastRcvd = 0, announced = -1;
    ftp->OnPacketSent = [&](vcl::TObject*) { lastSent = ftp->GetBytesSent(); };
    ftp->OnPacketRecvd = [&](vcl::TObject*) { lastRcvd = ftp->GetBytesRcvd(); };
    ASSERT_NO_THROW(ftp->Connect());
    ftp->ChangeDir("memoire");
    ftp->ChangeDir("quil");
    ftp->Mode(2);
    ASSERT_NO_THROW(ftp->Upload(source.string(), "grand.bin"));
    EXPECT_EQ(ftp->BytesTotal(), kSize);
    EXPECT_EQ(lastSent, kSize);
    const fs::path onServer = s.root / "memoire" / "quil" / "grand.bin";
    EXPECT_TRUE(SameBytes(source, onServer)) << "server copy differs";

    ftp->OnTransactionStart = [&](vcl::TObject*) { announced = ftp->BytesTotal(); };
    const fs::path back = work / "retour.bin";
    ASSERT_NO_THROW(ftp->Download("grand.bin", back.string()));
    EXPECT_EQ(announced, kSize) << "the size announced by the server";
    EXPECT_EQ(ftp->BytesTotal(), kSize);
    EXPECT_EQ(lastRcvd, kSize);
    EXPECT_TRUE(SameBytes(source, back)) << "downloaded copy differs";
    ftp->Delete("grand.bin");
    ftp->Disconnect();
    fs::remove_all(work);
}
