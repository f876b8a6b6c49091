// GetBytesTotal: the size announced by a transfer reply, "150 Opening BINARY mode data connection for a.zip
// (512 bytes)"; 0 when there is none or when it does not fit 64 bits.
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (NMFtp::TNMFTP::GetBytesTotal(fuzz::Bytes(data, size)) < 0) __builtin_trap();
    return 0;
}
