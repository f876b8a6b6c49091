// Helpers shared by the fuzz targets: the input as a byte string, and an FTP client whose control
// connection goes to a scripted peer on 127.0.0.1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "net/ftp/NMFtp.h"
#include "platform/vcl/Forms.h"
#include "support/ScriptedPeer.h"

namespace fuzz {

inline std::string Bytes(const std::uint8_t* data, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

// The application's event loop, once per process: the components wait by processing its messages. It is
// freed before the static objects go, as main would do (libFuzzer leaves by exit).
inline void InitApplication() {
    vcl::Application->Initialize();
    std::atexit([] { vcl::Application->Finalize(); });
}

// The client of one input: its socket is connected to the peer (no login) once Start has run. Every wait is
// bounded by the time-out, so an input that the client waits on cannot hang the fuzzer.
class PeerSession {
  public:
    testsupport::ScriptedPeer peer;
    std::unique_ptr<NMFtp::TNMFTP> ftp;

    // Runs the peer's script (written before) and connects the client's socket to it.
    void Start() {
        peer.SetStepTimeout(2000);
        peer.Start();
        ftp = std::make_unique<NMFtp::TNMFTP>(nullptr);
        ftp->SetHost("127.0.0.1");
        ftp->SetPort(peer.Port());
        ftp->SetTimeOut(2000);
        ftp->TPowersock::Connect();
    }

    // Closes the client without "QUIT", then stops the peer whatever step it was at.
    ~PeerSession() {
        ftp.reset();
        peer.Stop();
    }
};

}  // namespace fuzz
