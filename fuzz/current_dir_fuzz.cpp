// GetCurrentDir: the input is the server's whole answer to "PWD" (257 "/memoire/quil" is current), then the
// server closes. The folder is the text between the first two double quotes; a failing code raises
// FTPException.
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::InitApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string reply = fuzz::Bytes(data, size);
    fuzz::PeerSession s;
    s.peer.Accept().Expect("PWD").Send(reply).Close();
    s.Start();
    try {
        const std::string dir = s.ftp->GetCurrentDir();
        if (dir.size() > reply.size() || dir.find('"') != std::string::npos) __builtin_trap();
    } catch (const NMFtp::FTPException&) {
    } catch (const Psock::ESockError&) {
    }
    return 0;
}
