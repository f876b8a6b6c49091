// The server type named by a "SYST" reply ("215 UNIX Type: L8"); every reply names one of the known types.
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace NMFtp;
    const std::int32_t vendor = TNMFTP::VendorOf(fuzz::Bytes(data, size));
    switch (vendor) {
        case vendorUnix:
        case vendorDOS:
        case vendorVM:
        case vendorMacOS:
        case vendorVMS:
        case vendorMVS:
        case vendorOther:
        case vendorOS400:
        case vendorNetWare:
            break;
        default:
            __builtin_trap();
    }
    return 0;
}
