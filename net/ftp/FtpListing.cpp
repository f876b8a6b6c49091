// TNMFTP listings: List (with server-type detection and the parsers) and Nlist.
#include <chrono>
#include <memory>

#include "net/ftp/FtpClient.h"
#include "platform/vcl/Forms.h"

namespace NMFtp {

using namespace winsock;

namespace {

// "215 UNIX Type: L8": the first word found, in this order, names the server type. VMS comes before VM.
struct VendorWord {
    const char* word;
    std::int32_t code;
};
constexpr VendorWord kVendorWords[] = {
    {"UNIX", vendorUnix}, {"NETWARE", vendorNetWare}, {"DOS", vendorDOS},     {"VMS", vendorVMS},
    {"MVS", vendorMVS},   {"VM", vendorVM},           {"MACOS", vendorMacOS}, {"OS/400", vendorOS400},
};

std::unique_ptr<TFTPDirectoryList> ParserFor(std::int32_t vendor) {
    switch (vendor) {
        case vendorUnix:
            return std::make_unique<TFTPUnixList>();
        case vendorNetWare:
            return std::make_unique<TFTPNETWAREList>();
        case vendorDOS:
            return std::make_unique<TFTPDOSList>();
        case vendorVMS:
            return std::make_unique<TFTPVMSList>();
        case vendorMVS:
            return std::make_unique<TFTPMVSList>();
        case vendorVM:
            return std::make_unique<TFTPVMList>();
        case vendorMacOS:
            return std::make_unique<TFTPMACOSList>();
        case vendorOS400:
            return std::make_unique<TFTPAS400List>();
        case vendorOther:
            return std::make_unique<TFTPOTHERList>();
        default:
            return nullptr;  // no server type: the listing goes on unparsed
    }
}

// "drwxr-xr-x 2 u g 4096 Dec 11 07:00 quil\r\n" arrives without its line end; lines of one or two
// characters stay as they were read.
std::string CutLineEnd(const std::string& line) {
    if (line.size() <= 2) return line;
    return line.substr(0, line.size() - (line[line.size() - 2] == '\r' ? 2 : 1));
}

}  // namespace

std::int32_t TNMFTP::VendorOf(const std::string& SystReply) {
    for (const auto& v : kVendorWords)
        if (SystReply.find(v.word) != std::string::npos) return v.code;
    return vendorOther;
}

bool TNMFTP::DataClosedAndDrained() {
    if (!FDataSocket->Connected()) return true;
    char c;
    const int n = recv(FDataSocket->Socket(), &c, 1, MSG_PEEK);
    return n == 0 || (n == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK);
}

void TNMFTP::ReadListing(bool NameList, std::int64_t& ByteCount) {
    using Clock = std::chrono::steady_clock;
    Clock::time_point lastData = Clock::now();
    for (;;) {
        if (FDataSocket->DataAvailable()) {
            const std::string read = FDataSocket->ReadLn();
            if (read.empty() && !NameList) break;
            ByteCount += static_cast<std::int64_t>(read.size());
            const std::string line = CutLineEnd(read);
            if (!NameList && FParseList && FListParser) FListParser->ParseLine(line);
            if (OnListItem) OnListItem(line);
            lastData = Clock::now();
            if (read.empty()) continue;
        } else {
            vcl::Application->ProcessMessagesWaiting(50);
            // A cancel or a silent server ends the listing; the clean-up decides what follows.
            if (FCanceled) return;
            if (FTimeOut > 0 && Clock::now() - lastData > std::chrono::milliseconds(FTimeOut))
                throw Psock::EAbortError("Transfert abandonné");
        }
        const bool dataWaits = FDataSocket->DataAvailable();
        if (dataWaits) continue;
        if (DataClosedAndDrained()) {
            // Some servers send the completion reply only once the client has closed its side too.
            if (FDataSocket->Connected()) FDataSocket->RequestCloseSocket();
            // All read and the completion reply is there, or none can come any more (the completion
            // read then reports the closed connection).
            if (DataAvailable() || ControlClosed()) break;
        }
    }
}

void TNMFTP::List() {
    if (FListBusy) throw vcl::Exception("A list command is already being processed!");
    FListBusy = true;
    struct BusyReset {
        bool& flag;
        ~BusyReset() { flag = false; }
    } busyReset{FListBusy};
    std::lock_guard<std::recursive_mutex> lock(FTransferLock);
    RunTransfer(cmdList, DataKind::Listing, false, [&] {
        if (FParseList) {
            if (!FListParser) {
                if (FVendor == vendorAuto) {
                    try {
                        DoCommand("SYST");
                    } catch (...) {
                    }
                    FVendor = VendorOf(FLastReply);
                }
                FListParser = ParserFor(FVendor);
            }
            if (FListParser) FListParser->Clear();
        }
        if (!SetUpDataConnection(cmdList, false, false)) return TransferEnd::Refused;
        StatusMessage(1, "LIST");
        if (!SendTransferCommand("LIST", cmdList, 301, true)) return TransferEnd::Refused;
        std::int64_t ignored = 0;
        return MoveData(cmdList, DataKind::Listing, [&] { ReadListing(false, ignored); });
    });
}

void TNMFTP::Nlist() {
    RunTransfer(cmdNList, DataKind::NameList, false, [&] {
        FDataSocket->SetPort(0);
        FDataSocket->Listen(true);
        FDataListening = true;
        const std::string port = "PORT " + GetLocalAddress() + FDataSocket->GetPortString();
        StatusMessage(1, port);
        Transaction(port);
        if (FReplyCode >= 301 && FReplyCode <= 599) throw FTPException(FLastReply);
        StatusMessage(1, "NLST");
        Transaction("NLST");
        if (FReplyCode >= 301 && FReplyCode <= 599) throw FTPException(FLastReply);
        FBytesTotal = GetBytesTotal(FLastReply);
        std::int64_t count = 0;
        return MoveData(cmdNList, DataKind::NameList, [&] {
            ReadListing(true, count);
            FBytesTotal = count;
        });
    });
}

}  // namespace NMFtp
