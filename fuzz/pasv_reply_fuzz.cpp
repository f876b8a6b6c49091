// The "PASV" reply: "227 Entering Passive Mode (10,0,0,7,19,137)" gives port 19 * 256 + 137. A reply
// whose pieces are not numbers raises the integer conversion error, nothing else.
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        (void)NMFtp::TNMFTP::PasvPort(fuzz::Bytes(data, size));
    } catch (const vcl::EConvertError&) {
    }
    return 0;
}
