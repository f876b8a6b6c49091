// TPowersock connection lifecycle: host resolution, connect, disconnect, cancel and the address queries.
#include <cstdio>
#include <cstring>

#include "net/psock/Powersock.h"

namespace Psock {

using namespace win32;
using namespace winsock;

namespace {
const char* const kLookupTimedOut = "Temps dépassé pour la recherche de l'hôte";
const char* const kLookupCanceled = "Recherche de l'hôte annulée";
}  // namespace

// A lookup ended by time-out or cancel is withdrawn, so that it never writes into FHostInfo later nor
// completes into the next lookup.
void TPowersock::WithdrawLookup() {
    if (FLookup) WSACancelAsyncRequest(FLookup);
    FLookup = 0;
}

void TPowersock::ResolveRemoteHost() {
    StatusMessage(8, "Résolution de l'hôte");
    const std::string& name = FProxy.empty() ? FHost : FProxy;
    const std::size_t len = std::min<std::size_t>(name.size(), kSockBufferSize);
    std::memcpy(FSockBuffer.get(), name.data(), len);
    FSockBuffer[len] = '\0';
    FRemoteAddress.sin_addr.s_addr = inet_addr(FSockBuffer.get());
    if (FRemoteAddress.sin_addr.s_addr != INADDR_NONE) return;

    FRemoteAddress.sin_addr.s_addr = 0;
    TimerOn();
    FAsyncDone = false;
    WithdrawLookup();
    FLookup = WSAAsyncGetHostByName(FSockWindow, WM_LOOKUPDONE, FSockBuffer.get(), FHostInfo.get(),
                                    MAXGETHOSTSTRUCT);
    if (!FLookup) FLastEventOK = false, FAsyncDone = true;
    PumpedWait(true, [this] { return FAsyncDone || FTimedOut || FCanceled; });
    TimerOff();
    if (FTimedOut) {
        WithdrawLookup();
        throw ESockError(kLookupTimedOut);
    }
    if (FCanceled) {
        WithdrawLookup();
        throw ESockError(kLookupCanceled);
    }
    FLookup = 0;
    if (!FLastEventOK) throw ESockError("Echec de la recherche de l'hôte");
    const auto* info = reinterpret_cast<const THostInfo*>(FHostInfo.get());
    std::memcpy(&FRemoteAddress.sin_addr.s_addr, info->h_addr_list[0], 4);
    if (OnHostResolved) OnHostResolved(this);
}

void TPowersock::Connect() {
    StatusMessage(8, "Connexion");
    FCanceled = false;
    if (FConnected) throw ESockError("Déjà connecté");
    for (int attempts = 0;; ++attempts) {
        try {
            ResolveRemoteHost();
        } catch (const ESockError& e) {
            if (e.Message() == kLookupTimedOut || e.Message() == kLookupCanceled) throw;
        }
        if (FRemoteAddress.sin_addr.s_addr != 0) break;
        if (attempts > 0 || !OnInvalidHost) throw ESockError("Adresse distante nulle");
        bool handled = false;
        OnInvalidHost(handled);
        if (!handled) throw ESockError("Adresse distante nulle");
    }
    FRemoteAddress.sin_family = AF_INET;
    const std::int32_t port = FProxy.empty() ? FPort : FProxyPort;
    FRemoteAddress.sin_port = htons(static_cast<u_short>(port & 0xFFFF));
    FAsyncDone = false;
    FLastEventOK = true;
    FConnectSeen = false;
    if (winsock::connect(FSocket, &FRemoteAddress, sizeof FRemoteAddress) == SOCKET_ERROR)
        ErrorManager(WSAEWOULDBLOCK);
    TimerOn();
    // A peer that closes at once may have its close handled in the same pass as the connect: the
    // connection was made all the same, and the wait must not go on for it.
    PumpedWait(true,
               [this] { return FConnected || FConnectSeen || FTimedOut || FCanceled || !FLastEventOK; });
    TimerOff();
    if (!FTimedOut && !FCanceled && FLastEventOK) return;
    if (OnConnectionFailed) OnConnectionFailed(this);
    if (FTimedOut) throw ESockError("Temps dépassé pour la connexion");
    if (FCanceled) throw ESockError("Connexion annulée");
    throw ESockError("La connection a échoué");
}

void TPowersock::CertifyConnect() {
    StatusMessage(8, "Vérification des connexions");
    for (int attempts = 0; !FConnected; ++attempts) {
        if (attempts > 0 || !OnConnectionRequired) throw Exception("Non connecté");
        bool handled = false;
        OnConnectionRequired(handled);
        if (!handled) throw Exception("Non connecté");
    }
}

void TPowersock::Disconnect() {
    StatusMessage(8, "Déconnection");
    RequestCloseSocket();
}

void TPowersock::OpenReplacementSocket() {
    const SOCKET s = winsock::socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET || s >= kNoSocket) {
        if (s != INVALID_SOCKET) closesocket(s);
        FSocket = kNoSocket;
        ErrorManager(WSAEWOULDBLOCK);
        return;
    }
    FSocket = static_cast<std::uint16_t>(s);
    if (WSAAsyncSelect(s, FSockWindow, WM_SOCKETEVENT, kSocketEvents) == SOCKET_ERROR)
        ErrorManager(WSAEWOULDBLOCK);
}

void TPowersock::RequestCloseSocket() {
    StatusMessage(4, "Demande de fermeture de socket");
    FConnected = false;
    if (FSocket == kNoSocket) return;
    if (closesocket(FSocket) == SOCKET_ERROR) {
        ErrorManager(WSAEWOULDBLOCK);
        return;
    }
    FSocket = kNoSocket;
    if (!(ComponentState() & vcl::csDestroying) && OnDisconnect) OnDisconnect(this);
    if (!FShuttingDown) OpenReplacementSocket();
}

void TPowersock::RenewSocket() {
    StatusMessage(8, "Renouvellement de la socket");
    FConnected = false;
    if (FSocket != kNoSocket) closesocket(FSocket);
    FSocket = kNoSocket;
    if (!FShuttingDown) OpenReplacementSocket();
}

void TPowersock::Cancel() {
    StatusMessage(8, "Annulation");
    FCanceled = true;
}

void TPowersock::Abort() {
    StatusMessage(8, "Abandonner");
    Cancel();
}

void TPowersock::Close(std::uint32_t Socket) {
    StatusMessage(8, "Fermeture de la socket");
    closesocket(Socket);
}

std::string TPowersock::GetRemoteIP() {
    StatusMessage(8, "Obtention de l'IP distant");
    return inet_ntoa(FRemoteAddress.sin_addr);
}

std::string TPowersock::GetLocalIP() {
    StatusMessage(8, "Obtention de l'IP local");
    char name[200] = {};
    gethostname(name, sizeof name);
    const hostent* host = gethostbyname(name);
    if (!host || !host->h_addr_list[0]) return "";
    const auto* b = reinterpret_cast<const unsigned char*>(host->h_addr_list[0]);
    char text[16];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    return text;
}

std::string TPowersock::GetLocalAddress() {
    TSocketAddress local{};
    int len = sizeof local;
    if (getsockname(FSocket, &local, &len) == SOCKET_ERROR) return "";
    std::string text = inet_ntoa(local.sin_addr);
    for (char& c : text)
        if (c == '.') c = ',';
    return text;
}

std::string TPowersock::GetPortString() {
    TSocketAddress local{};
    int len = sizeof local;
    if (getsockname(FSocket, &local, &len) == SOCKET_ERROR) return "";
    const unsigned port = ntohs(local.sin_port);
    char text[16];
    std::snprintf(text, sizeof text, ",%u,%u", port / 256, port % 256);
    return text;
}

}  // namespace Psock
