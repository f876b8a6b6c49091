// TPowersock core: construction, the hidden window and its dispatch, waiting, status and error reports,
// and the time-out control.
#include "net/psock/Powersock.h"

#include <cstring>
#include <mutex>

#include "platform/vcl/Forms.h"

namespace Psock {

using namespace win32;
using namespace winsock;

namespace {

std::mutex gWinsockUsersLock;
int gWinsockUsers = 0;

// Waits idle at most this long per pass when a socket would block; a notification ends it sooner.
constexpr unsigned kIdleWaitMs = 50;

LRESULT PsockWindowProc(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam) {
    auto* sock = reinterpret_cast<TPowersock*>(GetWindowLongPtr(Window, 0));
    if (!sock || Msg < WM_SOCKETEVENT) return DefWindowProc(Window, Msg, WParam, LParam);
    TMessage message{Msg, WParam, LParam, 0};
    sock->Wndproc(message);
    return message.Result;
}

void CleanupIfLast() {
    std::lock_guard lock(gWinsockUsersLock);
    if (--gWinsockUsers == 0) WSACleanup();
}

}  // namespace

int WinsockUsers() {
    std::lock_guard lock(gWinsockUsersLock);
    return gWinsockUsers;
}

HWND PsockAllocateHWnd(TPowersock* Obj) {
    WNDCLASS PsockWindowClass;
    PsockWindowClass.lpfnWndProc = PsockWindowProc;
    PsockWindowClass.cbWndExtra = sizeof(LONG_PTR);
    PsockWindowClass.hInstance = GetModuleInstance();
    PsockWindowClass.lpszClassName = "PsockWindowClass";
    WNDCLASS existing;
    if (!GetClassInfo(PsockWindowClass.hInstance, PsockWindowClass.lpszClassName, &existing) &&
        !RegisterClass(PsockWindowClass))
        return 0;
    HWND window = CreateWindowEx(WS_EX_TOOLWINDOW, PsockWindowClass.lpszClassName, "", WS_POPUP, 0, 0, 0, 0,
                                 0, 0, PsockWindowClass.hInstance, nullptr);
    if (window && Obj) SetWindowLongPtr(window, 0, reinterpret_cast<LONG_PTR>(Obj));
    return window;
}

TPowersock::TPowersock(TComponent* AOwner)
    : TComponent(AOwner), FSockBuffer(new char[kSockBufferSize + 1]()) {
    FSockWindow = PsockAllocateHWnd(this);
    FProxy.clear();
    FHostInfo.reset(new char[MAXGETHOSTSTRUCT]());
    FTimer = new TThreadTimer(this);
    FTimer->SetEnabled(false);
    FTimer->SetOnTimer([this](TObject* Sender) { TimerFired(Sender); });
    FTimeOut = 0;
    FReportLevel = 1;
    FWinsockInfo = std::make_unique<TStringList>();
    FCanceled = FShuttingDown = FConnected = false;
    try {
        InitWinsock();
    } catch (...) {
        DestroyWindow(FSockWindow);
        throw;
    }
}

TPowersock::~TPowersock() {
    Destroying();
    try {
        TPowersock::Abort();
        Cancel();
    } catch (...) {
    }
    WithdrawLookup();
    FWinsockInfo.reset();
    delete FTimer;
    FTimer = nullptr;
    DestroyWindow(FSockWindow);
    FSockWindow = 0;
    FShuttingDown = true;
    if (!(ComponentState() & vcl::csDesigning)) {
        try {
            RequestCloseSocket();
        } catch (...) {
        }
        CleanupIfLast();
    }
}

void TPowersock::InitWinsock() {
    StatusMessage(8, "Initialisation de Winsock");
    if (ComponentState() & vcl::csDesigning) return;
    {
        std::lock_guard lock(gWinsockUsersLock);
        if (++gWinsockUsers == 1) {
            WSAStartup(0x0101, &FWSAData);
            auto version = [](WORD w) {
                return std::to_string(w & 0xFF) + "." + std::to_string((w >> 8) & 0xFF);
            };
            FWinsockInfo->Add("Version= " + version(FWSAData.wVersion));
            FWinsockInfo->Add("High Version= " + version(FWSAData.wHighVersion));
            FWinsockInfo->Add(std::string("Description= ") + FWSAData.szDescription);
            FWinsockInfo->Add(std::string("System= ") + FWSAData.szSystemStatus);
            FWinsockInfo->Add("Max Sockets= " + std::to_string(FWSAData.iMaxSockets));
            FWinsockInfo->Add("Max Udp pack size= " + std::to_string(FWSAData.iMaxUdpDg));
        }
    }
    bool ok = false;
    const SOCKET s = winsock::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s != INVALID_SOCKET && s < kNoSocket) {
        FSocket = static_cast<std::uint16_t>(s);
        // Closing this first socket resets the connection rather than closing it gracefully.
        linger noLinger{1, 0};
        ok = winsock::setsockopt(s, SOL_SOCKET, SO_LINGER, &noLinger, sizeof noLinger) == 0 &&
             WSAAsyncSelect(s, FSockWindow, WM_SOCKETEVENT, kSocketEvents) == 0;
    }
    if (!ok) {
        if (s != INVALID_SOCKET) closesocket(s);
        FSocket = kNoSocket;
        CleanupIfLast();
        throw ESockError("Echec de l'initialisation des sockets Windows");
    }
}

void TPowersock::Wndproc(TMessage& Msg) {
    try {
        FLastEventOK = HIWORD(Msg.LParam) == 0;
        if (Msg.Msg == WM_SOCKETEVENT) {
            switch (LOWORD(Msg.LParam)) {
                case FD_READ:
                    if (OnDataReady) {
                        try {
                            OnDataReady(this);
                        } catch (...) {
                        }
                    }
                    break;
                case FD_ACCEPT:
                    FConnected = true;
                    if (OnAcceptReady) OnAcceptReady(this);
                    break;
                case FD_CONNECT:
                    if (FLastEventOK) {
                        FConnected = true;
                        FConnectSeen = true;
                        if (OnConnect) OnConnect(this);
                    }
                    break;
                case FD_CLOSE:
                    // While received bytes still wait the close is left for the reader to find.
                    if (!DataAvailable()) RequestCloseSocket();
                    break;
                default:
                    break;
            }
        } else if (Msg.Msg == WM_LOOKUPDONE) {
            FAsyncDone = true;
            if (LOWORD(Msg.LParam) == FD_ACCEPT) FConnected = true;
        }
    } catch (...) {
    }
    Msg.Result = 0;
}

void TPowersock::StatusMessage(std::uint8_t Level, const std::string& Status) {
    if (Level > FReportLevel) return;
    try {
        FLastStatus = Status;
        if (!(ComponentState() & vcl::csDestroying) && OnStatus) OnStatus(this, Status);
    } catch (...) {
    }
}

std::string TPowersock::ErrorManager(std::uint16_t Ignore) {
    FLastErrorNo = WSAGetLastError();
    if (FLastErrorNo != Ignore && FLastErrorNo > 10000) {
        const std::string text = SocketErrorStr(static_cast<std::uint16_t>(FLastErrorNo));
        if (OnError) OnError(this, static_cast<std::uint16_t>(FLastErrorNo), text);
        throw ESockError(text);
    }
    return "";
}

std::string TPowersock::SocketErrorStr(std::uint16_t Errno) {
    StatusMessage(8, "Recherche du message d'erreur");
    if (Errno == 0) return "";
    for (const auto& row : WinsockMessage)
        if (row.Number == Errno) return std::to_string(Errno) + ":" + row.Text;
    return "N° d'erreur inconnu " + std::to_string(Errno);
}

void TPowersock::SetWSAError(std::uint16_t ErrorNo, const std::string& ErrorMsg) {
    StatusMessage(8, "Définition de l'erreur Winsock");
    FLastErrorNo = ErrorNo;
    WSASetLastError(ErrorNo);
    if (OnError) OnError(this, ErrorNo, ErrorMsg.empty() ? SocketErrorStr(ErrorNo) : ErrorMsg);
}

std::int32_t TPowersock::GetLastErrorNo() {
    StatusMessage(8, "Obtention du numéro LastError");
    return FLastErrorNo;
}

void TPowersock::SetLastErrorNo(std::int32_t Value) {
    StatusMessage(8, "Définition du numéro LastError");
    FLastErrorNo = Value;
}

void TPowersock::TimerOn() {
    StatusMessage(8, "Timer activé");
    FTimedOut = false;
    // Disabling first makes the countdown start anew on a timer that already runs.
    FTimer->SetEnabled(false);
    FTimer->SetInterval(static_cast<unsigned>(FTimeOut));
    FTimer->SetEnabled(true);
}

void TPowersock::TimerOff() {
    StatusMessage(8, "Timer désactivé");
    FTimer->SetEnabled(false);
}

void TPowersock::TimerFired(TObject*) {
    StatusMessage(8, "Timer déclenché");
    TimerOff();
    FTimedOut = true;
    FAsyncDone = true;
    FAbortByTimeOut = true;
    try {
        Abort();
    } catch (...) {
        FAbortByTimeOut = false;
        throw;
    }
    FAbortByTimeOut = false;
}

// The wait of lookup, connect and accept: at most 2 ms a pass, ended at once by any message.
void TPowersock::PumpedWait(bool sleepFirst, const std::function<bool()>& done) {
    if (!sleepFirst && done()) return;
    do {
        vcl::Application->ProcessMessagesWaiting(2);
    } while (!done());
}

// One pass of an input or output retry loop: process pending messages; when the socket would block,
// idle until a notification, a timer or a user's message arrives.
void TPowersock::IdleWait(bool wouldBlock) {
    if (wouldBlock)
        vcl::Application->ProcessMessagesWaiting(kIdleWaitMs);
    else
        vcl::Application->ProcessMessages();
}

}  // namespace Psock
