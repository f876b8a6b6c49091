// A whole "LIST" in passive mode against a scripted server whose data connection carries the input: the
// listing reader cuts it into lines, hands each to OnListItem and to the parser of the server type that
// the first byte picks, and the completion reply ends it.
#include <array>

#include "fuzz/FuzzSupport.h"

namespace {

constexpr std::array<std::int32_t, 9> kVendors = {
    NMFtp::vendorUnix, NMFtp::vendorNetWare, NMFtp::vendorDOS,   NMFtp::vendorVMS,   NMFtp::vendorMVS,
    NMFtp::vendorVM,   NMFtp::vendorMacOS,   NMFtp::vendorOS400, NMFtp::vendorOther,
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::InitApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::string listing = fuzz::Bytes(data + 1, size - 1);
    fuzz::PeerSession s;
    s.peer.Accept()
        .ExpectPasv()
        .Expect("LIST")
        .Reply("150 Here comes the directory listing.")
        .DataAccept()
        .DataSend(listing)
        .DataClose()
        .Reply("226 Directory send OK.");
    s.Start();
    s.ftp->SetPassive(true);
    s.ftp->SetParseList(true);
    s.ftp->SetVendor(kVendors[data[0] % kVendors.size()]);
    std::size_t items = 0;
    s.ftp->OnListItem = [&](const std::string& line) {
        if (line.size() > listing.size()) __builtin_trap();
        ++items;
    };
    try {
        s.ftp->List();
        // Every parsed row came from a line that was handed over.
        const auto* parser = s.ftp->ListParser();
        if (!parser || static_cast<std::size_t>(parser->NameList().Count()) > items) __builtin_trap();
    } catch (const vcl::Exception&) {
        // A line beyond 64 KiB, or a listing cut short.
    }
    return 0;
}
