// TNMFTP data channel: the data socket made per listing or transfer, its passive or active set-up, the
// judging of replies, the completion reply and the clean-up on every way out.
#include <cctype>
#include <chrono>
#include <climits>

#include "net/ftp/FtpClient.h"
#include "net/psock/TimerGuard.h"
#include "platform/vcl/Forms.h"

namespace NMFtp {

using namespace winsock;

std::int64_t TNMFTP::GetBytesSent() const { return FDataSocket ? FDataSocket->BytesSent() : 0; }
std::int64_t TNMFTP::GetBytesRcvd() const { return FDataSocket ? FDataSocket->BytesRcvd() : 0; }

std::int64_t TNMFTP::GetBytesTotal(const std::string& Text) {
    std::size_t word = std::string::npos;
    for (std::size_t i = 0; i + 4 <= Text.size() && word == std::string::npos; ++i) {
        if (std::toupper(static_cast<unsigned char>(Text[i])) == 'B' &&
            std::toupper(static_cast<unsigned char>(Text[i + 1])) == 'Y' &&
            std::toupper(static_cast<unsigned char>(Text[i + 2])) == 'T' &&
            std::toupper(static_cast<unsigned char>(Text[i + 3])) == 'E')
            word = i;
    }
    if (word == std::string::npos || word == 0) return 0;
    auto isDigit = [&](std::size_t i) { return Text[i] >= '0' && Text[i] <= '9'; };
    std::size_t last = word;  // one past the digit run
    while (last > 0 && !isDigit(last - 1)) --last;
    if (last == 0) return 0;
    std::size_t first = last - 1;
    while (first > 0 && isDigit(first - 1)) --first;
    std::int64_t value = 0;
    for (std::size_t i = first; i < last; ++i) {
        const int digit = Text[i] - '0';
        if (value > (INT64_MAX - digit) / 10) return 0;  // does not fit
        value = value * 10 + digit;
    }
    return value;
}

// "227 Entering Passive Mode (10,0,0,7,19,137)": the last two numbers are the port.
std::int32_t TNMFTP::PasvPort(const std::string& Reply) {
    const std::string piece6 = Psock::NthWord(Reply, ',', 6);
    const std::size_t paren = piece6.find(')');
    const int p2 = vcl::StrToInt(paren == std::string::npos ? "" : piece6.substr(0, paren));
    const int p1 = vcl::StrToInt(Psock::NthWord(Reply, ',', 5));
    // Pieces beyond a byte are the server's garbage: the sum wraps at 32 bits (no overflow) and the
    // connect takes its low 16 bits.
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(p1) * 256u + static_cast<std::uint32_t>(p2));
}

void TNMFTP::Flush() {
    FCanceled = false;
    const auto start = std::chrono::steady_clock::now();
    std::string text;
    do {
        text = Read(0);
        vcl::Application->ProcessMessagesWaiting(10);
    } while (text.empty() && std::chrono::steady_clock::now() - start <= std::chrono::microseconds(950400));
    StatusMessage(1, text);
}

std::string TNMFTP::BareFileName(const std::string& Path) {
    const std::size_t cut = Path.find_last_of("\\:/");
    return cut == std::string::npos ? Path : Path.substr(cut + 1);
}

bool TNMFTP::SetUpDataConnection(TCmdType Trans_Type, bool ForceActive, bool GoOnWhenHandled) {
    if (FPassive && !ForceActive) {
        Transaction("PASV");
        if (FReplyCode >= 500) {
            FailureReport(Trans_Type, false);
            return false;
        }
        // The address pieces are not used: the data connection goes to the configured host.
        const std::int32_t port = PasvPort(FLastReply);
        FDataSocket->SetHost(FHost);
        FDataSocket->SetPort(port);
        FDataSocket->Connect();
        return true;
    }
    FDataSocket->SetPort(0);
    FDataSocket->Listen(true);
    FDataListening = true;
    const std::string argument = GetLocalAddress() + FDataSocket->GetPortString();
    if (ForceActive) StatusMessage(1, "PORT " + argument);
    Transaction("PORT " + argument);
    if (FReplyCode >= 301 && FReplyCode <= 599) {
        FailureReport(Trans_Type, false);
        return GoOnWhenHandled;
    }
    return true;
}

bool TNMFTP::ControlClosed() {
    if (!FConnected) return true;
    char c;
    const int n = recv(FSocket, &c, 1, MSG_PEEK);
    return n == 0 || (n == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK);
}

bool TNMFTP::SendTransferCommand(const std::string& Command, TCmdType Trans_Type, std::int16_t RefusedFrom,
                                 bool CheckUnsupported) {
    Transaction(Command);
    if (FReplyCode >= RefusedFrom && FReplyCode <= 599) {
        FailureReport(Trans_Type, CheckUnsupported);
        return false;
    }
    return true;
}

// Active mode: the server connects to the listening data socket, whose listening handle is then closed.
void TNMFTP::AcceptDataConnection() {
    if (!FDataListening) return;
    FDataListening = false;
    const std::uint16_t listening = FDataSocket->Socket();
    std::uint16_t connection;
    {
        // A server that never connects would hold the caller for ever: the data socket's time-out
        // cancels the wait, and Accept raises.
        Psock::TimerGuard timer(*FDataSocket);
        connection = FDataSocket->Accept();
    }
    FDataSocket->TakeOverSocket(connection);
    FDataSocket->Close(listening);
}

bool TNMFTP::FinishTransfer(TCmdType Trans_Type, DataKind Kind, const std::string& Completion) {
    if (Kind == DataKind::Upload) {
        // The first socket of a component resets on close and would drop the file's last bytes.
        linger graceful{0, 0};
        winsock::setsockopt(FDataSocket->Socket(), SOL_SOCKET, SO_LINGER, &graceful, sizeof graceful);
    }
    FDataSocket->RequestCloseSocket();
    if (Kind == DataKind::Download) FBytesTotal = FDataSocket->BytesRcvd();
    // A name listing has counted its bytes itself.
    if (Kind == DataKind::Download || Kind == DataKind::NameList)
        StatusMessage(1, "Reçu " + std::to_string(FBytesTotal) + " Octets");
    if (FCanceled) {
        StatusMessage(1, FLastReply);
        return true;
    }
    if (Completion.empty()) {
        FLastReply = ReadLn();
        RequireReply(FLastReply);
    } else {
        FLastReply = Completion;
    }
    FReplyCode = ReplyCodeOf(FLastReply);
    StatusMessage(1, FLastReply);
    ReadExtraLines(FLastReply);
    // "426 Connection closed; transfer aborted": the server did not take or give the whole file.
    if (FReplyCode >= 400 && FReplyCode <= 599) {
        FailureReport(Trans_Type, false);
        return false;
    }
    return true;
}

void TNMFTP::RunTransfer(TCmdType Trans_Type, DataKind Kind, bool TakeLock,
                         const std::function<TransferEnd()>& Body) {
    FCanceled = false;
    CertifyConnect();
    std::unique_lock<std::recursive_mutex> lock(FTransferLock, std::defer_lock);
    if (TakeLock) lock.lock();
    DrainStaleReplies();
    FDataSocket = new TPowersock(this);
    FDataSocket->SetTimeOut(FTimeOut);
    if (Kind == DataKind::Upload)
        FDataSocket->OnPacketSent = OnPacketSent;
    else if (Kind != DataKind::NameList)
        FDataSocket->OnPacketRecvd = OnPacketRecvd;
    FDataListening = false;

    auto cleanUp = [&](bool quietly) {
        delete FDataSocket;
        FDataSocket = nullptr;
        FDataListening = false;
        if (Kind == DataKind::NameList && FCanceled) {
            // A name listing answers a cancel by collecting what the server still says, not with ABOR.
            try {
                Flush();
            } catch (...) {
                if (!quietly) throw;
            }
        } else if (Kind != DataKind::Upload && FCanceled) {
            FCanceled = false;
            if (quietly) {
                try {
                    Transaction("ABOR");
                } catch (...) {
                }
            } else {
                Transaction("ABOR");
            }
        }
        if (lock.owns_lock()) lock.unlock();
    };
    TransferEnd end;
    try {
        end = Body();
    } catch (...) {
        cleanUp(true);
        throw;
    }
    cleanUp(false);
    if (end == TransferEnd::Skipped) throw Psock::EAbortError("Transfert abandonné");
    if (end == TransferEnd::Done) SuccessReport(Trans_Type);
}

void TNMFTP::RunWithCatchAll(TCmdType Trans_Type, DataKind Kind, const std::function<TransferEnd()>& Body) {
    try {
        RunTransfer(Trans_Type, Kind, true, Body);
    } catch (...) {
        if (!OnFailure) throw;
        bool handled = false;
        OnFailure(handled, Trans_Type);
        if (!handled) throw;
    }
}

}  // namespace NMFtp
