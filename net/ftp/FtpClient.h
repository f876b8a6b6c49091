// TNMFTP: the FTP client. Its own socket is the control connection; every command is a line sent on it
// and a reply read from it. Every operation reports its outcome once, by the success or the failure report.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "net/psock/Psock.h"

namespace NMFtp {

using Psock::TComponent;
using Psock::THandlerEvent;
using Psock::TPowersock;

// The operations named in the success, failure and unsupported-function reports.
enum TCmdType {
    cmdChangeDir,
    cmdMakeDir,
    cmdDelete,
    cmdRemoveDir,
    cmdList,
    cmdRename,
    cmdUpRestore,
    cmdDownRestore,
    cmdDownload,
    cmdUpload,
    cmdAppend,
    cmdReInit,
    cmdAllocate,
    cmdNList,
    cmdDoCommand,
    cmdCurrentDir
};

// How the login passes a proxy.
enum TFirewallType { FTUser, FtOpen, FtSite };

// A failing reply; the message is the reply's first line as received, line end included.
class FTPException : public vcl::Exception {
  public:
    using vcl::Exception::Exception;
};

using TFailureEvent = std::function<void(bool& Handled, TCmdType Trans_Type)>;
using TSuccessEvent = std::function<void(TCmdType Trans_Type)>;
using TUnsupportedEvent = std::function<void(TCmdType Trans_Type)>;
using TNMListItem = std::function<void(const std::string& Listing)>;

constexpr std::int32_t vendorAuto = 2411;  // server type not yet detected

class TNMFTP : public TPowersock {
  public:
    explicit TNMFTP(TComponent* AOwner);
    ~TNMFTP() override;

    // Published properties (Host, Port, TimeOut, ReportLevel, Proxy, ProxyPort come from the socket).
    const std::string& UserID() const { return FUserID; }
    void SetUserID(const std::string& Value) { FUserID = Value; }
    const std::string& Password() const { return FPassword; }
    void SetPassword(const std::string& Value) { FPassword = Value; }
    std::int32_t Vendor() const { return FVendor; }
    void SetVendor(std::int32_t Value) { FVendor = Value; }
    bool ParseList() const { return FParseList; }
    void SetParseList(bool Value) { FParseList = Value; }
    bool Passive() const { return FPassive; }
    void SetPassive(bool Value) { FPassive = Value; }
    TFirewallType FirewallType() const { return FFirewallType; }
    void SetFirewallType(TFirewallType Value) { FFirewallType = Value; }
    const std::string& FWUserID() const { return FFWUserID; }
    void SetFWUserID(const std::string& Value) { FFWUserID = Value; }
    const std::string& FWPassword() const { return FFWPassword; }
    void SetFWPassword(const std::string& Value) { FFWPassword = Value; }
    bool FWAuthenticate() const { return FFWAuthenticate; }
    void SetFWAuthenticate(bool Value) { FFWAuthenticate = Value; }

    // Published events. OnConnect is the FTP login's own: raised after a completed login.
    vcl::TNotifyEvent OnConnect;
    vcl::TNotifyEvent OnTransactionStart;
    vcl::TNotifyEvent OnTransactionStop;
    THandlerEvent OnAuthenticationNeeded;
    THandlerEvent OnAuthenticationFailed;  // published, never raised
    TFailureEvent OnFailure;
    TSuccessEvent OnSuccess;
    TNMListItem OnListItem;
    TUnsupportedEvent OnUnSupportedFunction;

    // Control session.
    void Connect() override;
    void Disconnect() override;
    std::string Transaction(const std::string& CommandString) override;
    void ReadExtraLines(const std::string& FirstLine);
    void Abort() override;
    void CheckRead(vcl::TObject* Sender);

    // Single commands.
    void DoCommand(const std::string& CommandStr);
    void ChangeDir(const std::string& DirName);
    void MakeDirectory(const std::string& DirectoryName);
    void RemoveDir(const std::string& DirectoryName);
    void Delete(const std::string& Filename);
    void Rename(const std::string& Filename, const std::string& FileName2);
    std::string GetCurrentDir();
    void Mode(int TheMode);
    void Reinitialize();
    void Allocate(int FileSize);

  protected:
    // Discards a reply left waiting by an earlier exchange.
    void DrainStaleReplies();
    void SuccessReport(TCmdType Trans_Type);
    // Failure report for the reply in FLastReply: raises FTPException unless OnFailure sets Handled.
    void FailureReport(TCmdType Trans_Type, bool CheckUnsupported);

    std::recursive_mutex FTransferLock;
    bool FListBusy = false;
    TPowersock* FDataSocket = nullptr;  // owned, for exactly one listing or transfer

  private:
    void LoginStep(const std::string& Command, const std::string& Reported);
    void FailLogin();
    void FailIfClosed();

    std::string FUserID;
    std::string FPassword;
    std::int32_t FVendor = vendorAuto;
    bool FParseList = false;
    bool FPassive = false;
    TFirewallType FFirewallType = FTUser;
    std::string FFWUserID;
    std::string FFWPassword;
    bool FFWAuthenticate = false;
};

}  // namespace NMFtp
