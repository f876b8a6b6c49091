// The TNMFTP side of ftp_connect_bench.
#include <stdexcept>

#include "bench/FtpConnectBench.h"
#include "net/ftp/NMFtp.h"

namespace ftpbench {

void ComponentDialogue(int port, const std::string& user, const std::string& pass) {
    try {
        NMFtp::TNMFTP ftp(nullptr);
        ftp.SetHost("127.0.0.1");
        ftp.SetPort(port);
        ftp.SetTimeOut(10000);
        ftp.SetUserID(user);
        ftp.SetPassword(pass);
        // Each call raises on a failing reply; the code checks catch a reply that is no failure yet is wrong.
        ftp.Connect();
        if (ftp.ReplyCode() != 230) throw std::runtime_error("login: " + ftp.LastReply());
        for (const char* dir : {"memoire", "quil"}) {
            ftp.ChangeDir(dir);
            if (ftp.ReplyCode() != 250)
                throw std::runtime_error(std::string("CWD ") + dir + ": " + ftp.LastReply());
        }
        ftp.Disconnect();
        if (ftp.ReplyCode() != 221) throw std::runtime_error("QUIT: " + ftp.LastReply());
    } catch (const vcl::Exception& e) {
        throw std::runtime_error(e.Message());
    }
}

}  // namespace ftpbench
