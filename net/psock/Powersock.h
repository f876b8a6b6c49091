// TPowersock: one TCP socket turned from asynchronous notifications into blocking operations that wait by
// letting the application process its messages, with a time-out and a cancel.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "net/psock/ThreadTimer.h"
#include "platform/vcl/Classes.h"
#include "platform/vcl/Streams.h"
#include "platform/vcl/StringList.h"
#include "platform/vcl/SysUtils.h"
#include "platform/win32/Windows.h"
#include "platform/winsock/Winsock.h"

namespace Psock {

using vcl::Exception;
using vcl::TStringList;

class TPowersock;

using THandlerEvent = std::function<void(bool& Handled)>;
using TOnErrorEvent = std::function<void(TComponent* Sender, std::uint16_t Errno, const std::string& Errmsg)>;
using TOnHostResolved = std::function<void(TComponent* Sender)>;
using TOnStatus = std::function<void(TComponent* Sender, const std::string& Status)>;

// Failures of the socket layer, of start-up, of host lookup and of connection.
class ESockError : public Exception {
  public:
    using Exception::Exception;
};

// An input or output operation ended by a cancel request or a time-out that cancels.
class EAbortError : public ESockError {
  public:
    using ESockError::ESockError;
};

constexpr win32::UINT WM_SOCKETEVENT = win32::WM_USER + 101;
constexpr win32::UINT WM_LOOKUPDONE = win32::WM_USER + 102;

// Every socket is registered for read, out-of-band, accept, connect and close.
constexpr long kSocketEvents =
    winsock::FD_READ | winsock::FD_OOB | winsock::FD_ACCEPT | winsock::FD_CONNECT | winsock::FD_CLOSE;
constexpr std::uint16_t kNoSocket = 65535;
constexpr int kSockBufferSize = 65536;

struct TWinsockMessageRecord {
    std::int32_t Number;
    const char* Text;
};
extern const TWinsockMessageRecord WinsockMessage[51];

// Count of components that have started Windows Sockets.
int WinsockUsers();

class TPowersock : public TComponent {
  public:
    explicit TPowersock(TComponent* AOwner);
    ~TPowersock() override;

    // Published properties.
    const std::string& Host() const { return FHost; }
    void SetHost(const std::string& Value) { FHost = Value; }
    std::int32_t Port() const { return FPort; }
    void SetPort(std::int32_t Value) { FPort = Value; }
    std::int32_t TimeOut() const { return FTimeOut; }
    void SetTimeOut(std::int32_t Value) { FTimeOut = Value < 0 ? 0 : Value; }
    std::int32_t ReportLevel() const { return FReportLevel; }
    void SetReportLevel(std::int32_t Value) { FReportLevel = Value; }
    vcl::TNotifyEvent OnDisconnect;
    vcl::TNotifyEvent OnConnect;
    THandlerEvent OnInvalidHost;
    TOnHostResolved OnHostResolved;
    TOnStatus OnStatus;
    vcl::TNotifyEvent OnConnectionFailed;

    // Properties that descendants publish.
    const std::string& Proxy() const { return FProxy; }
    void SetProxy(const std::string& Value) { FProxy = Value; }
    std::int32_t ProxyPort() const { return FProxyPort; }
    void SetProxyPort(std::int32_t Value) { FProxyPort = Value; }
    TOnErrorEvent OnError;
    THandlerEvent OnConnectionRequired;
    vcl::TNotifyEvent OnPacketRecvd;
    vcl::TNotifyEvent OnPacketSent;

    // Hooks: every read notification, and an accept announced as a socket event.
    vcl::TNotifyEvent OnDataReady;
    vcl::TNotifyEvent OnAcceptReady;

    std::int64_t BytesTotal() const { return FBytesTotal; }
    std::int32_t GetLastErrorNo();
    void SetLastErrorNo(std::int32_t Value);
    const TStringList& WinsockInfo() const { return *FWinsockInfo; }
    const std::string& LastStatus() const { return FLastStatus; }
    const std::string& LastReply() const { return FLastReply; }
    std::int16_t ReplyCode() const { return FReplyCode; }
    std::uint16_t Socket() const { return FSocket; }
    bool Connected() const { return FConnected; }
    win32::HWND SockWindow() const { return FSockWindow; }

    // Virtual operations, in slot order.
    virtual std::uint16_t Accept();
    virtual void Connect();
    virtual void Disconnect();
    virtual std::string Transaction(const std::string& CommandString);
    virtual void Abort();

    void Wndproc(win32::TMessage& Msg);
    void StatusMessage(std::uint8_t Level, const std::string& Status);
    // Fixed texts: nothing is built for a level that is filtered out.
    void StatusMessage(std::uint8_t Level, const char* Status) {
        if (Level <= FReportLevel) StatusMessage(Level, std::string(Status));
    }
    std::string ErrorManager(std::uint16_t Ignore);
    std::string SocketErrorStr(std::uint16_t Errno);
    void SetWSAError(std::uint16_t ErrorNo, const std::string& ErrorMsg);
    void TimerOn();
    void TimerOff();
    void TimerFired(TObject* Sender);

    // Connection lifecycle.
    void ResolveRemoteHost();
    void CertifyConnect();
    void RequestCloseSocket();
    void Cancel();
    void Close(std::uint32_t Socket);
    std::string GetRemoteIP();
    std::string GetLocalIP();
    std::string GetLocalAddress();
    std::string GetPortString();

    // Listening for one incoming connection.
    void Listen(bool UseLookupMessage);
    // Makes an accepted connection this component's socket (its listening socket is the caller's affair).
    void TakeOverSocket(std::uint16_t Handle) { FSocket = Handle; }
    // Closes the socket and opens a fresh one, without events: after a failed connect the old socket may
    // not connect again.
    void RenewSocket();

    // Line and buffer input and output.
    void SendBuffer(const char* Value, std::uint32_t BufLen);
    void Write(const std::string& Str);
    void Writeln(const std::string& Str);
    std::string Read(std::uint32_t Value);
    std::string ReadLn();
    bool DataAvailable();
    void ClearInput();

    // File and stream transfer in pieces of up to 64 KiB, with a progress event per piece.
    void SendFile(const std::string& FileName);
    void SendStream(vcl::TStream& Stream);
    void AppendFile(const std::string& FileName);
    void CaptureFile(const std::string& FileName);
    void CaptureStream(vcl::TStream& Stream, std::int64_t Size);
    void CaptureString(std::string& AString, std::int64_t Size);
    void FilterHeader(vcl::TFileStream& HeaderStream);
    std::int64_t BytesSent() const { return FBytesSent; }
    std::int64_t BytesRcvd() const { return FBytesRcvd; }

  protected:
    void InitWinsock();
    // True while Abort runs because the time-out fired (not because a caller asked for it).
    bool AbortByTimeOut() const { return FAbortByTimeOut; }

    // The component's one I/O buffer (one byte more for a terminating zero).
    std::unique_ptr<char[]> FSockBuffer;
    std::unique_ptr<TStringList> FWinsockInfo;
    std::int64_t FBytesSent = 0;
    // The flags below are written by notifications on the thread that owns the window and read by waits
    // that may run on another thread (a server's client): they are atomic.
    std::atomic<bool> FCanceled = false;
    bool FShuttingDown = false;
    std::atomic<std::int32_t> FLastErrorNo = 0;
    std::int32_t FTimeOut = 0;
    std::int32_t FReportLevel = 1;
    std::string FLastStatus;
    std::string FProxy;
    std::int32_t FProxyPort = 0;
    TThreadTimer* FTimer = nullptr;  // owned
    std::atomic<bool> FLastEventOK = false;
    std::atomic<bool> FTimedOut = false;
    std::int32_t FPort = 0;
    std::int64_t FBytesTotal = 0;
    std::int64_t FBytesRcvd = 0;
    std::atomic<bool> FAsyncDone = false;
    winsock::WSADATA FWSAData;
    winsock::TSocketAddress FRemoteAddress;
    std::string FHost;
    std::unique_ptr<char[]> FHostInfo;  // MAXGETHOSTSTRUCT bytes: the record of an asynchronous lookup
    winsock::HANDLE FLookup = 0;        // the lookup that may still write into FHostInfo
    std::string FLastReply;
    std::int16_t FReplyCode = 0;
    std::atomic<std::uint16_t> FSocket = kNoSocket;
    win32::HWND FSockWindow = 0;
    std::atomic<bool> FConnected = false;

  private:
    std::atomic<bool> FConnectSeen = false;     // a connect notification without error arrived during Connect's wait
    bool FAbortByTimeOut = false;  // set while the time-out handler runs the virtual Abort
    // Sends one piece of FSockBuffer; false when the socket took nothing at all (the piece ends).
    bool SendPiece(std::size_t length, bool& stopAll);
    // One receive of up to 64 KiB; the bytes count and raise OnPacketRecvd. Returns the receive's result.
    int ReceivePiece(vcl::TStream* sink, std::string* text, bool restartTimer);
    void PumpedWait(bool sleepFirst, const std::function<bool()>& done);
    void IdleWait(bool wouldBlock);
    void OpenReplacementSocket();
    void WithdrawLookup();

  protected:
    // The value of a reply line's leading digits (at most 10), 0 when none or too large for a code.
    static std::int16_t ReplyCodeOf(const std::string& line);
};

// A hidden window of the class "PsockWindowClass" whose messages from WM_SOCKETEVENT on go to the
// component's Wndproc; 0 on failure.
win32::HWND PsockAllocateHWnd(TPowersock* Obj);

// Writes the text and CR LF to the stream.
void StreamLn(vcl::TStream& Stream, const std::string& Str);

// The N-th field of a text cut at a delimiter, counted from 1.
std::string NthWord(const std::string& InputString, char Delimiter, std::int32_t Number);
// The position (from 1) of the N-th delimiter; the length + 1 when there is none.
std::int32_t NthPos(const std::string& InputString, char Delimiter, std::int32_t Number);

}  // namespace Psock
