// TNMFTP single commands: one command and its reply (two for Rename), no data connection.
#include "net/ftp/FtpClient.h"

namespace NMFtp {

namespace {

TCmdType CommandType(const std::string& command) {
    const std::string firstWord = command.substr(0, command.find(' ')) + " ";
    if (firstWord == "CWD ") return cmdChangeDir;
    if (firstWord == "DELE ") return cmdDelete;
    if (firstWord == "MKD ") return cmdMakeDir;
    if (firstWord == "RMD ") return cmdRemoveDir;
    if (command == "PWD") return cmdCurrentDir;
    return cmdDoCommand;
}

}  // namespace

void TNMFTP::DoCommand(const std::string& CommandStr) {
    const TCmdType type = CommandType(CommandStr);
    FCanceled = false;
    CertifyConnect();
    StatusMessage(1, CommandStr);
    DrainStaleReplies();
    Transaction(CommandStr);
    if (FReplyCode >= 400 && FReplyCode <= 599)
        FailureReport(type, true);  // returns only when OnFailure handled it: no success report then
    else
        SuccessReport(type);
}

void TNMFTP::ChangeDir(const std::string& DirName) { DoCommand("CWD " + DirName); }
void TNMFTP::MakeDirectory(const std::string& DirectoryName) { DoCommand("MKD " + DirectoryName); }
void TNMFTP::RemoveDir(const std::string& DirectoryName) { DoCommand("RMD " + DirectoryName); }
void TNMFTP::Delete(const std::string& Filename) { DoCommand("DELE " + Filename); }
void TNMFTP::Reinitialize() { DoCommand("REIN"); }
void TNMFTP::Allocate(int FileSize) { DoCommand("ALLO " + vcl::IntToStr(FileSize)); }

void TNMFTP::Mode(int TheMode) {
    switch (TheMode) {
        case 1:
            DoCommand("TYPE A");
            break;
        case 2:
            DoCommand("TYPE I");
            break;
        case 3:
            DoCommand("TYPE L 8");
            break;
        default:
            break;
    }
}

// The folder between the first two double quotes of the reply: 257 "/memoire/quil" is current.
std::string TNMFTP::GetCurrentDir() {
    DoCommand("PWD");
    return Psock::NthWord(FLastReply, '"', 2);
}

void TNMFTP::Rename(const std::string& Filename, const std::string& FileName2) {
    FCanceled = false;
    CertifyConnect();
    DrainStaleReplies();
    StatusMessage(1, "RNFR " + Filename);
    Transaction("RNFR " + Filename);
    // A refused RNFR that a handler accepts still goes on to RNTO.
    if (FReplyCode >= 352 && FReplyCode <= 599) FailureReport(cmdRename, false);
    StatusMessage(1, "RNTO " + FileName2);
    Transaction("RNTO " + FileName2);
    if (FReplyCode >= 301 && FReplyCode <= 599)
        FailureReport(cmdRename, true);
    else
        SuccessReport(cmdRename);
}

}  // namespace NMFtp
