// TNMFTP control session: construction, login, logout, reading a reply, and the outcome reports.
#include "net/ftp/FtpClient.h"

namespace NMFtp {

namespace {

const char* const kClosedByServer = "Connexion fermée par le serveur";

bool IsContinuation(const std::string& line) {
    // "220-Welcome" opens a multi-line reply, " text" continues it; a short or empty line ends it.
    return !line.empty() && (line[0] == ' ' || (line.size() >= 4 && line[3] == '-'));
}

}  // namespace

TNMFTP::TNMFTP(TComponent* AOwner) : TPowersock(AOwner) {
    FPort = 21;
    FVendor = vendorAuto;
    OnDataReady = [this](vcl::TObject* Sender) { CheckRead(Sender); };
}

TNMFTP::~TNMFTP() {
    Destroying();
    Cancel();
    // The socket's destructor cancels through the base Abort only; a data socket still alive is ours.
    Abort();
}

void TNMFTP::CheckRead(vcl::TObject*) {}

// Cancels the data socket of the listing or transfer in progress. The control connection's time-out runs
// only while the control itself waits (for a reply, or to send a command): it ends that wait, so that a
// server that stops answering fails the operation with EAbortError after TimeOut instead of holding it
// until the server closes. The data socket bounds its own waits.
void TNMFTP::Abort() {
    if (AbortByTimeOut())
        Cancel();
    else if (FDataSocket)
        FDataSocket->Cancel();
}

std::string TNMFTP::Transaction(const std::string& CommandString) {
    const std::string first = Exchange(CommandString);
    RequireReply(first);
    return first;
}

std::string TNMFTP::Exchange(const std::string& CommandString) {
    const std::string first = TPowersock::Transaction(CommandString);
    ReadExtraLines(first);
    return first;
}

// An empty line is what a read returns once the server has closed the connection: no reply came, and the
// command cannot count as answered, let alone accepted.
void TNMFTP::RequireReply(const std::string& Line) {
    if (!Line.empty()) return;
    if (FConnected) TPowersock::Disconnect();
    throw Psock::ESockError(kClosedByServer);
}

void TNMFTP::ReadExtraLines(const std::string& FirstLine) { ReadContinuation(FirstLine); }

std::string TNMFTP::ReadContinuation(const std::string& FirstLine) {
    std::string line = FirstLine;
    while (IsContinuation(line)) {
        line = ReadLn();
        StatusMessage(1, line);
    }
    return line;
}

void TNMFTP::DrainStaleReplies() {
    if (DataAvailable()) Read(0);
}

void TNMFTP::SuccessReport(TCmdType Trans_Type) {
    if (OnSuccess) OnSuccess(Trans_Type);
}

void TNMFTP::FailureReport(TCmdType Trans_Type, bool CheckUnsupported) {
    // Kept before any handler runs: a handler may send commands of its own.
    const std::string reply = FLastReply;
    const std::int16_t code = FReplyCode;
    if (CheckUnsupported && OnUnSupportedFunction && code >= 500 && code <= 502)
        OnUnSupportedFunction(Trans_Type);
    if (!OnFailure) throw FTPException(reply);
    bool handled = false;
    OnFailure(handled, Trans_Type);
    if (!handled) throw FTPException(reply);
}

void TNMFTP::FailLogin() {
    const std::string reply = FLastReply;
    if (OnConnectionFailed) OnConnectionFailed(this);
    throw FTPException(reply);
}

// An empty reply means the server closed the connection: the login cannot have succeeded.
void TNMFTP::FailIfClosed() {
    if (!FLastReply.empty()) return;
    if (FConnected) TPowersock::Disconnect();
    if (OnConnectionFailed) OnConnectionFailed(this);
    throw Psock::ESockError(kClosedByServer);
}

// One login command: its reply fails the login when its code lies from 401 to 599.
void TNMFTP::LoginStep(const std::string& Command, const std::string& Reported) {
    if (!Reported.empty()) StatusMessage(1, Reported);
    Exchange(Command);
    FailIfClosed();
    if (FReplyCode >= 401 && FReplyCode <= 599) FailLogin();
}

void TNMFTP::Connect() {
    FCanceled = false;
    if (FConnected) return;
    ClearInput();
    try {
        TPowersock::Connect();
    } catch (...) {
        // A socket whose connection failed (or was reset as it was made) may not connect again: the next
        // Connect starts from a fresh one.
        if (FConnected)
            TPowersock::Disconnect();
        else
            RenewSocket();
        throw;
    }
    try {
        FReplyCode = 0;
        FLastReply = ReadLn();
        if (!FLastReply.empty()) {
            StatusMessage(1, FLastReply);
            FReplyCode = ReplyCodeOf(FLastReply);
        }
        ReadExtraLines(FLastReply);
        FailIfClosed();
        if (FReplyCode > 400) FailLogin();

        if (FFWAuthenticate) {
            LoginStep("USER " + FFWUserID, "");
            // The password itself is never reported.
            if (FReplyCode == 331) LoginStep("PASS " + FFWPassword, "PASS ");
        }
        if ((FUserID.empty() || FPassword.empty()) && OnAuthenticationNeeded) {
            bool handled = false;
            OnAuthenticationNeeded(handled);
        }
        if (!FProxy.empty()) {
            switch (FFirewallType) {
                case FTUser:
                    Exchange("USER " + FUserID + "@" + FHost);
                    break;
                case FtOpen:
                    Exchange("OPEN " + FHost);
                    break;
                case FtSite:
                    Exchange("SITE " + FHost);
                    break;
            }
            FailIfClosed();
        }
        if (FProxy.empty() || FFirewallType != FTUser) LoginStep("USER " + FUserID, "USER " + FUserID);
        if (FReplyCode == 331) LoginStep("PASS " + FPassword, "PASS ");
        if (OnConnect) OnConnect(this);
    } catch (...) {
        Disconnect();
        StatusMessage(1, "Déconnecté");
        throw;
    }
}

void TNMFTP::Disconnect() {
    FCanceled = false;
    if (!FConnected) return;
    StatusMessage(1, "QUIT");
    FListParser.reset();
    FVendor = vendorAuto;
    std::string reply;
    std::int16_t code = 0;
    try {
        DrainStaleReplies();
        // A server that closes on QUIT without a reply has logged us out all the same.
        reply = Exchange("QUIT");
        code = FReplyCode;
    } catch (...) {
        TPowersock::Disconnect();
        throw;
    }
    TPowersock::Disconnect();
    if (code >= 301 && code <= 599) throw FTPException(reply);
}

}  // namespace NMFtp
