// TPowersock listening: bind to a local port on all addresses, then accept one incoming connection.
#include "net/psock/Powersock.h"

namespace Psock {

using namespace winsock;

void TPowersock::Listen(bool UseLookupMessage) {
    StatusMessage(8, "A l'écoute");
    FRemoteAddress.sin_addr.s_addr = inet_addr("0.0.0.0");
    FRemoteAddress.sin_family = AF_INET;
    FRemoteAddress.sin_port = htons(static_cast<u_short>(FPort & 0xFFFF));
    FAsyncDone = false;
    // Failures here show only as an Accept that waits until it is cancelled.
    winsock::bind(FSocket, &FRemoteAddress, sizeof FRemoteAddress);
    WSAAsyncSelect(FSocket, FSockWindow, UseLookupMessage ? WM_LOOKUPDONE : WM_SOCKETEVENT, FD_ACCEPT);
    winsock::listen(FSocket, 1);
}

std::uint16_t TPowersock::Accept() {
    StatusMessage(4, "Acceptation");
    PumpedWait(false, [this] { return FAsyncDone || FCanceled; });
    if (FCanceled) throw ESockError("Acceptation annulée");
    if (!FLastEventOK) throw ESockError("Erreur à la création de données");
    TSocketAddress peer{};
    int len = sizeof peer;
    const SOCKET s = winsock::accept(FSocket, &peer, &len);
    if (s == INVALID_SOCKET) {
        ErrorManager(WSAEWOULDBLOCK);
        // The announced connection went away: no handle to give.
        throw ESockError("Erreur à la création de données");
    }
    if (s >= kNoSocket) {
        closesocket(s);
        throw ESockError("Erreur à la création de données");
    }
    FRemoteAddress = peer;
    WSAAsyncSelect(s, FSockWindow, WM_SOCKETEVENT, kSocketEvents);
    return static_cast<std::uint16_t>(s);
}

}  // namespace Psock
