// TNMFTP control session: construction, login, logout, reading a reply, and the outcome reports.
#include "net/ftp/FtpClient.h"

namespace NMFtp {

namespace {

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

// Cancels the data socket of the listing or transfer in progress. A time-out of the control connection
// leaves it alone: the data socket bounds its own waits, and a reply that arrives late must not make the
// transfer skip its data.
void TNMFTP::Abort() {
    if (FDataSocket && !AbortByTimeOut()) FDataSocket->Cancel();
}

std::string TNMFTP::Transaction(const std::string& CommandString) {
    const std::string first = TPowersock::Transaction(CommandString);
    ReadExtraLines(first);
    return first;
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
    throw Psock::ESockError("Connexion fermée par le serveur");
}

// One login command: its reply fails the login when its code lies from 401 to 599.
void TNMFTP::LoginStep(const std::string& Command, const std::string& Reported) {
    if (!Reported.empty()) StatusMessage(1, Reported);
    Transaction(Command);
    FailIfClosed();
    if (FReplyCode >= 401 && FReplyCode <= 599) FailLogin();
}

void TNMFTP::Connect() {
    FCanceled = false;
    if (FConnected) return;
    ClearInput();
    TPowersock::Connect();
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
                    Transaction("USER " + FUserID + "@" + FHost);
                    break;
                case FtOpen:
                    Transaction("OPEN " + FHost);
                    break;
                case FtSite:
                    Transaction("SITE " + FHost);
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
        reply = Transaction("QUIT");
        code = FReplyCode;
    } catch (...) {
        TPowersock::Disconnect();
        throw;
    }
    TPowersock::Disconnect();
    if (code >= 301 && code <= 599) throw FTPException(reply);
}

}  // namespace NMFtp
