// The reply reader: the input is everything a server sends on the control connection before it closes.
// ReadLn takes it line by line, ReadExtraLines the continuation lines of each reply ("220-Welcome" ...
// "220 Ready"), and the reply code comes from each first line.
#include "fuzz/FuzzSupport.h"

namespace {

struct Reader : NMFtp::TNMFTP {
    using TNMFTP::ReplyCodeOf;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::InitApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::PeerSession s;
    s.peer.Accept().Send(fuzz::Bytes(data, size)).Close();
    s.Start();
    try {
        // Every line taken consumes at least one byte, so the input bounds the loop.
        for (std::size_t replies = 0; replies <= size; ++replies) {
            const std::string first = s.ftp->ReadLn();
            if (first.empty()) break;
            if (first.size() > static_cast<std::size_t>(Psock::kSockBufferSize)) __builtin_trap();
            if (Reader::ReplyCodeOf(first) < 0) __builtin_trap();
            s.ftp->ReadExtraLines(first);
        }
    } catch (const Psock::ESockError&) {
        // A line longer than the buffer.
    }
    return 0;
}
