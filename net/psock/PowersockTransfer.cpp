// TPowersock file and stream transfer: bulk data between the socket and a file, a stream or a string, in
// pieces of up to 64 KiB through FSockBuffer, with the byte counters and a progress event per piece.
#include <algorithm>

#include "net/psock/Powersock.h"
#include "net/psock/TimerGuard.h"

namespace Psock {

using namespace winsock;

namespace {

const char* const kSendAborted = "Envoi de Socket abandonné";
const char* const kCaptureAborted = "Capture de Socket abandonnée";

}  // namespace

// Sends the first `length` bytes of FSockBuffer, retrying while the socket is full.
bool TPowersock::SendPiece(std::size_t length, bool& stopAll) {
    std::size_t remaining = length;
    do {
        const int sent =
            winsock::send(FSocket, FSockBuffer.get() + (length - remaining), static_cast<int>(remaining), 0);
        if (sent == 0) {
            stopAll = true;
            return false;
        }
        const bool wouldBlock = sent == SOCKET_ERROR;
        if (wouldBlock) {
            ErrorManager(WSAEWOULDBLOCK);
        } else {
            remaining -= static_cast<std::size_t>(sent);
            FBytesSent += sent;
            if (OnPacketSent) OnPacketSent(this);
            TimerOn();  // the time-out measures a stall, not the length of the whole transfer
        }
        IdleWait(wouldBlock);
    } while (remaining > 0 && !FCanceled);
    return true;
}

void TPowersock::SendFile(const std::string& FileName) {
    StatusMessage(8, "SendFile");
    // A peer that stops reading ends the sending after TimeOut without progress.
    TimerGuard timer(*this);
    vcl::TFileStream file(FileName, vcl::fmOpenRead);
    std::int64_t left = file.Size();  // counted here rather than asked of the file for every piece
    do {
        if (!FCanceled) {
            const auto n = static_cast<std::size_t>(file.Read(FSockBuffer.get(), kSockBufferSize));
            bool stopAll = false;
            if (n > 0) SendPiece(n, stopAll);
            if (n == 0) break;  // the file got shorter meanwhile: nothing more to send
            left -= static_cast<std::int64_t>(n);
        }
    } while (left > 0 && !FCanceled);
    if (FCanceled) {
        FCanceled = false;
        throw EAbortError(kSendAborted);
    }
}

void TPowersock::SendStream(vcl::TStream& Stream) {
    StatusMessage(8, "SendStream");
    TimerGuard timer(*this);
    Stream.SetPosition(0);
    if (!FCanceled) {
        FBytesSent = 0;
        FBytesTotal = Stream.Size();
        do {
            const std::int64_t left = FBytesTotal - Stream.Position();
            const auto n = static_cast<std::size_t>(
                Stream.Read(FSockBuffer.get(), std::min<std::int64_t>(left, kSockBufferSize)));
            if (n == 0) break;
            bool stopAll = false;
            SendPiece(n, stopAll);
            if (stopAll) return;
        } while (Stream.Position() < FBytesTotal && !FCanceled);
    }
    if (FCanceled) {
        FCanceled = false;
        throw EAbortError(kSendAborted);
    }
}

// One receive into FSockBuffer; what came goes to the sink or the text, counts, and is announced.
int TPowersock::ReceivePiece(vcl::TStream* sink, std::string* text, bool restartTimer) {
    const int n = recv(FSocket, FSockBuffer.get(), kSockBufferSize, 0);
    if (n > 0) {
        if (sink) sink->WriteBuffer(FSockBuffer.get(), n);
        if (text) text->append(FSockBuffer.get(), static_cast<std::size_t>(n));
        FBytesRcvd += n;
        if (OnPacketRecvd) OnPacketRecvd(this);
        if (restartTimer) TimerOn();
    }
    return n;
}

void TPowersock::AppendFile(const std::string& FileName) {
    StatusMessage(8, "Ajouter au fichier");
    FBytesRcvd = 0;
    // A peer that stops sending ends the receiving after TimeOut without data, as for CaptureFile.
    TimerGuard timer(*this);
    vcl::TFileStream file(FileName, vcl::fmOpenWrite);
    file.Seek(0, vcl::soEnd);
    while (FConnected && !FCanceled) {
        const int n = ReceivePiece(&file, nullptr, true);
        if (n == SOCKET_ERROR) ErrorManager(WSAEWOULDBLOCK);
        if (n == 0) break;
        IdleWait(n == SOCKET_ERROR);
    }
    if (FCanceled) {
        FCanceled = false;
        throw EAbortError(kSendAborted);
    }
}

void TPowersock::CaptureFile(const std::string& FileName) {
    StatusMessage(8, "FichierCapture");
    FBytesRcvd = 0;
    TimerGuard timer(*this);
    vcl::TFileStream file(FileName, vcl::fmCreate);
    while (!FCanceled) {
        const int n = ReceivePiece(&file, nullptr, true);
        if (n == SOCKET_ERROR) {
            FLastErrorNo = WSAGetLastError();
            if (FLastErrorNo == WSAENOTCONN) break;  // closed by the close notification: the end of data
            ErrorManager(WSAEWOULDBLOCK);
        }
        if (n == 0) break;
        IdleWait(n == SOCKET_ERROR);
    }
    if (FCanceled) {
        FCanceled = false;
        throw EAbortError(kSendAborted);
    }
}

void TPowersock::CaptureStream(vcl::TStream& Stream, std::int64_t Size) {
    StatusMessage(8, "Flux de capture");
    FBytesRcvd = 0;
    TimerGuard timer(*this);
    while (!FCanceled && (Size == -1 || Stream.Size() < Size)) {
        const int n = ReceivePiece(&Stream, nullptr, true);
        if (n == 0) break;
        if (n == SOCKET_ERROR) {
            FLastErrorNo = WSAGetLastError();
            if (FLastErrorNo == WSAENOTCONN) break;
            ErrorManager(WSAEWOULDBLOCK);
        }
        IdleWait(n == SOCKET_ERROR && Size != -1);
        if (Size == -1) break;  // one pass: what one receive found waiting
    }
    if (FCanceled) {
        FCanceled = false;
        throw EAbortError(kCaptureAborted);
    }
}

void TPowersock::CaptureString(std::string& AString, std::int64_t Size) {
    StatusMessage(8, "Chaîne de capture");
    AString.clear();
    FBytesRcvd = 0;
    TimerGuard timer(*this);
    while (!FCanceled && (Size == -1 || static_cast<std::int64_t>(AString.size()) < Size)) {
        const int n = ReceivePiece(nullptr, &AString, true);
        if (n == 0) break;
        if (n == SOCKET_ERROR) {
            FLastErrorNo = WSAGetLastError();
            if (FLastErrorNo == WSAENOTCONN) break;
            ErrorManager(WSAEWOULDBLOCK);
        }
        IdleWait(n == SOCKET_ERROR);
    }
    if (FCanceled) {
        FCanceled = false;
        throw EAbortError(kCaptureAborted);
    }
}

void TPowersock::FilterHeader(vcl::TFileStream& HeaderStream) {
    StatusMessage(8, "FilterHeader");
    for (;;) {
        const std::string line = ReadLn();
        if (line.empty()) return;
        HeaderStream.WriteBuffer(line.data(), static_cast<std::int64_t>(line.size()));
        if (line == "\n" || line == "\r\n") return;
    }
}

void StreamLn(vcl::TStream& Stream, const std::string& Str) {
    const std::string line = Str + "\r\n";
    Stream.WriteBuffer(line.data(), static_cast<std::int64_t>(line.size()));
}

}  // namespace Psock
