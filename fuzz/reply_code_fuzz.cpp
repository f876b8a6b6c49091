// The reply code: the number formed by the leading digits of a reply line, 0 when there is none or when it
// does not fit a reply code.
#include "fuzz/FuzzSupport.h"

namespace {

struct Codes : NMFtp::TNMFTP {
    using TNMFTP::ReplyCodeOf;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string line = fuzz::Bytes(data, size);
    const std::int16_t code = Codes::ReplyCodeOf(line);
    if (code < 0) __builtin_trap();
    if (code > 0 && (line[0] < '0' || line[0] > '9')) __builtin_trap();
    return 0;
}
