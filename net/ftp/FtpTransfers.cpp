// TNMFTP uploads and downloads: the data-channel skeleton with each operation's own commands and primitive.
#include "net/ftp/FtpClient.h"

namespace NMFtp {

namespace {

// The bytes of a file from an offset on, seen as a stream of their own (a resumed upload sends them).
class TFileTail : public vcl::TStream {
  public:
    TFileTail(const std::string& FileName, std::int64_t Offset)
        : FFile(FileName, vcl::fmOpenRead), FOffset(Offset) {
        FFile.Seek(FOffset, vcl::soBeginning);
    }
    std::int64_t Read(void* Buffer, std::int64_t Count) override { return FFile.Read(Buffer, Count); }
    std::int64_t Write(const void*, std::int64_t) override { return 0; }
    std::int64_t Seek(std::int64_t Offset, vcl::TSeekOrigin Origin) override {
        const std::int64_t base = Origin == vcl::soBeginning ? FOffset : 0;
        return std::max<std::int64_t>(0, FFile.Seek(base + Offset, Origin) - FOffset);
    }

  private:
    vcl::TFileStream FFile;
    std::int64_t FOffset;
};

std::int64_t FileSize(const std::string& FileName) {
    vcl::TFileStream file(FileName, vcl::fmOpenRead);
    return file.Size();
}

}  // namespace

void TNMFTP::Upload(const std::string& LocalFile, const std::string& RemoteFile) {
    RunWithCatchAll(cmdUpload, DataKind::Upload,
                    [&] { return StoreFile("STOR ", cmdUpload, LocalFile, RemoteFile); });
}

void TNMFTP::UploadAppend(const std::string& LocalFile, const std::string& RemoteFile) {
    RunTransfer(cmdAppend, DataKind::Upload, false,
                [&] { return StoreFile("APPE ", cmdAppend, LocalFile, RemoteFile); });
}

// The common body of Upload and UploadAppend.
TNMFTP::TransferEnd TNMFTP::StoreFile(const std::string& Verb, TCmdType Trans_Type,
                                      const std::string& LocalFile, const std::string& RemoteFile) {
    FBytesTotal = FileSize(LocalFile);
    if (!SetUpDataConnection(Trans_Type, false, false)) return TransferEnd::Refused;
    StatusMessage(1, Verb + (RemoteFile.empty() ? LocalFile : RemoteFile));
    const std::string name = RemoteFile.empty() ? BareFileName(LocalFile) : RemoteFile;
    if (!SendTransferCommand(Verb + name, Trans_Type, 301, true)) return TransferEnd::Refused;
    return MoveData(Trans_Type, DataKind::Upload, [&] { FDataSocket->SendFile(LocalFile); });
}

TNMFTP::TransferEnd TNMFTP::MoveData(TCmdType Trans_Type, DataKind Kind,
                                     const std::function<void()>& Primitive, bool UniqueCompletion) {
    AcceptDataConnection();
    if (OnTransactionStart) OnTransactionStart(this);
    // Only the caller's cancel skips the data; a time-out whose reply came after all does not.
    const bool moved = !FCanceled;
    if (moved) Primitive();
    if (OnTransactionStop) OnTransactionStop(this);
    std::string completion;
    if (UniqueCompletion && !FCanceled) {
        // The server may send its completion reply at once or later; what is there now is shown.
        completion = DataAvailable() ? Read(0) : "226 Upload OK";
    }
    if (!FinishTransfer(Trans_Type, Kind, completion)) return TransferEnd::Refused;
    if (Kind == DataKind::Download && OnTransactionStop) OnTransactionStop(this);  // downloads tell twice
    // A cancel that came while the data moved leaves the outcome unknown: not a success either.
    return moved && !FCanceled ? TransferEnd::Done : TransferEnd::Skipped;
}

void TNMFTP::UploadUnique(const std::string& LocalFile) {
    RunTransfer(cmdUpload, DataKind::Upload, false, [&] {
        FBytesTotal = FileSize(LocalFile);
        SetUpDataConnection(cmdUpload, true, true);
        StatusMessage(1, "STOU");
        SendTransferCommand("STOU", cmdUpload, 301, true);  // a handled refusal goes on all the same
        return MoveData(
            cmdUpload, DataKind::Upload, [&] { FDataSocket->SendFile(LocalFile); }, true);
    });
}

void TNMFTP::UploadRestore(const std::string& LocalFile, const std::string& RemoteFile,
                           std::int64_t Position) {
    RunTransfer(cmdUpload, DataKind::Upload, false, [&] {
        FBytesTotal = FileSize(LocalFile);
        if (!SetUpDataConnection(cmdUpload, false, false)) return TransferEnd::Refused;
        StatusMessage(1, "REST " + std::to_string(Position) + "STOR ");
        Transaction("REST " + std::to_string(Position));
        const std::string name = RemoteFile.empty() ? BareFileName(LocalFile) : RemoteFile;
        if (!SendTransferCommand("STOR " + name, cmdUpload, 400, true)) return TransferEnd::Refused;
        return MoveData(cmdUpload, DataKind::Upload, [&] {
            TFileTail tail(LocalFile, Position);
            FDataSocket->SendStream(tail);
        });
    });
}

// The first line of the preliminary reply is read alone; its continuation lines follow here, and the
// announced size comes from the last of them.
TNMFTP::TransferEnd TNMFTP::Retrieve(const std::string& RemoteFile, TCmdType Trans_Type, bool GoOnWhenHandled,
                                     const std::function<void()>& Primitive) {
    RequireReply(TPowersock::Transaction("RETR " + RemoteFile));
    if (FReplyCode >= 301 && FReplyCode <= 599) {
        FailureReport(Trans_Type, false);
        if (!GoOnWhenHandled) return TransferEnd::Refused;
    }
    const std::string last = ReadContinuation(FLastReply);
    AcceptDataConnection();
    FBytesTotal = GetBytesTotal(last);
    return MoveData(Trans_Type, DataKind::Download, Primitive);  // already accepted: no second accept
}

void TNMFTP::Download(const std::string& RemoteFile, const std::string& LocalFile) {
    RunWithCatchAll(cmdUpload, DataKind::Download, [&] {
        if (!SetUpDataConnection(cmdUpload, false, false)) return TransferEnd::Refused;
        StatusMessage(1, "RETR " + RemoteFile);
        FBytesTotal = 0;
        const std::string path = LocalFile.empty() ? RemoteFile : LocalFile;
        return Retrieve(RemoteFile, cmdUpload, false, [&] { FDataSocket->CaptureFile(path); });
    });
}

void TNMFTP::DownloadRestore(const std::string& RemoteFile, const std::string& LocalFile) {
    RunTransfer(cmdDownload, DataKind::Download, false, [&] {
        const std::string path = LocalFile.empty() ? RemoteFile : LocalFile;
        if (!SetUpDataConnection(cmdDownload, false, false)) return TransferEnd::Refused;
        std::int64_t have = 0;
        try {
            have = FileSize(path);
        } catch (const vcl::EStreamError&) {
        }
        StatusMessage(1, "REST RETR " + RemoteFile);
        FBytesTotal = 0;
        RequireReply(TPowersock::Transaction("REST " + std::to_string(have)));
        return Retrieve(RemoteFile, cmdDownload, true, [&] { FDataSocket->AppendFile(path); });
    });
}

}  // namespace NMFtp
