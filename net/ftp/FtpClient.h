// TNMFTP: the FTP client. Its own socket is the control connection; every command is a line sent on it
// and a reply read from it. Every operation reports its outcome once, by the success or the failure report.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "net/ftp/DirectoryList.h"
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

// Server types, as detected from the "SYST" reply.
constexpr std::int32_t vendorUnix = 2400;
constexpr std::int32_t vendorDOS = 2401;
constexpr std::int32_t vendorVM = 2402;
constexpr std::int32_t vendorMacOS = 2404;
constexpr std::int32_t vendorVMS = 2406;
constexpr std::int32_t vendorMVS = 2408;
constexpr std::int32_t vendorOther = 2410;
constexpr std::int32_t vendorAuto = 2411;  // server type not yet detected
constexpr std::int32_t vendorOS400 = 2414;
constexpr std::int32_t vendorNetWare = 2416;

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

    // Listings: every line goes to OnListItem; List also feeds the parser while ParseList is set.
    void List();
    void Nlist();
    // The parser of the last parsing List, or null.
    const TFTPDirectoryList* ListParser() const { return FListParser.get(); }

    // Data channel: progress values and helpers shared by listings and transfers.
    std::int64_t GetBytesSent() const;
    std::int64_t GetBytesRcvd() const;
    // The last number before the first "BYTE" of a reply: "150 Opening data connection for a.zip (512
    // bytes)".
    static std::int64_t GetBytesTotal(const std::string& Text);
    // The port of a "PASV" reply: "227 Entering Passive Mode (10,0,0,7,19,137)" gives 19 * 256 + 137.
    // A piece that is not a number raises the integer conversion error.
    static std::int32_t PasvPort(const std::string& Reply);
    // The server type named by a "SYST" reply ("215 UNIX Type: L8"), vendorOther when none is named.
    static std::int32_t VendorOf(const std::string& SystReply);
    void Flush();

    // Transfers.
    void Upload(const std::string& LocalFile, const std::string& RemoteFile);
    void UploadAppend(const std::string& LocalFile, const std::string& RemoteFile);
    void UploadUnique(const std::string& LocalFile);
    void UploadRestore(const std::string& LocalFile, const std::string& RemoteFile, std::int64_t Position);
    void Download(const std::string& RemoteFile, const std::string& LocalFile);
    void DownloadRestore(const std::string& RemoteFile, const std::string& LocalFile);

  protected:
    // Discards a reply left waiting by an earlier exchange.
    void DrainStaleReplies();
    void SuccessReport(TCmdType Trans_Type);
    // Failure report for the reply in FLastReply: raises FTPException unless OnFailure sets Handled.
    void FailureReport(TCmdType Trans_Type, bool CheckUnsupported);

    std::recursive_mutex FTransferLock;
    bool FListBusy = false;
    TPowersock* FDataSocket = nullptr;  // owned, for exactly one listing or transfer
    bool FDataListening = false;
    std::unique_ptr<TFTPDirectoryList> FListParser;  // active set-up: the data socket waits for the server

    // How a transfer's body ended.
    enum class TransferEnd { Done, Refused, Skipped };
    enum class DataKind { Upload, Download, Listing, NameList };
    // Runs the shared skeleton around Body: connection check, lock, drain, data socket, clean-up and
    // success report. A transfer that moved no data because the caller cancelled raises EAbortError.
    void RunTransfer(TCmdType Trans_Type, DataKind Kind, bool TakeLock,
                     const std::function<TransferEnd()>& Body);
    // RunTransfer with the catch-all of Upload and Download: any exception goes to OnFailure first.
    void RunWithCatchAll(TCmdType Trans_Type, DataKind Kind, const std::function<TransferEnd()>& Body);
    // Passive or active set-up; false when a refusal was handled by OnFailure.
    bool SetUpDataConnection(TCmdType Trans_Type, bool ForceActive, bool GoOnWhenHandled);
    void AcceptDataConnection();
    // Sends a transfer command; false when its refusal was handled by OnFailure.
    bool SendTransferCommand(const std::string& Command, TCmdType Trans_Type, std::int16_t RefusedFrom,
                             bool CheckUnsupported);
    // Closes the data connection, reads and judges the completion reply; false when a refusal was handled.
    bool FinishTransfer(TCmdType Trans_Type, DataKind Kind, const std::string& Completion);
    // Reads continuation lines like ReadExtraLines and returns the last line of the reply.
    std::string ReadContinuation(const std::string& FirstLine);
    static std::string BareFileName(const std::string& Path);
    // Reads listing lines until the data connection is closed and drained and the completion reply waits.
    void ReadListing(bool NameList, std::int64_t& ByteCount);
    bool DataClosedAndDrained();
    TransferEnd StoreFile(const std::string& Verb, TCmdType Trans_Type, const std::string& LocalFile,
                          const std::string& RemoteFile);
    // Accept (active), OnTransactionStart, the primitive unless the caller cancelled, OnTransactionStop,
    // the completion reply. UniqueCompletion: take whatever reply already waits (STOU).
    TransferEnd MoveData(TCmdType Trans_Type, DataKind Kind, const std::function<void()>& Primitive,
                         bool UniqueCompletion = false);
    TransferEnd Retrieve(const std::string& RemoteFile, TCmdType Trans_Type, bool GoOnWhenHandled,
                         const std::function<void()>& Primitive);

    // Sends a command and reads its whole reply, whatever it is (an empty one when the server closed).
    std::string Exchange(const std::string& CommandString);
    // Raises ESockError, after closing the control connection, when the server closed it instead of
    // replying.
    void RequireReply(const std::string& Line);
    // True when the server has closed the control connection (no more reply can come on it).
    bool ControlClosed();

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
