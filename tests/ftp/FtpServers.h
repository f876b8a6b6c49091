// The real FTP servers that scripts/servers starts on 127.0.0.1: their ports, the throwaway account and
// each server's root folder come from the environment. A missing server is a failure, never a skip.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "net/ftp/NMFtp.h"

namespace ftpservers {

namespace fs = std::filesystem;

struct Server {
    std::string name;  // as in the environment: VSFTPD, PUREFTPD, PROFTPD, PYFTPDLIB
    int port;
    fs::path root;
};

inline std::string Env(const std::string& name) {
    const char* v = std::getenv(name.c_str());
    return v ? v : "";
}

inline std::vector<Server> Servers() {
    std::vector<Server> servers;
    for (const char* name : {"VSFTPD", "PUREFTPD", "PROFTPD", "PYFTPDLIB"}) {
        const std::string port = Env(std::string("FTP_") + name + "_PORT");
        const std::string root = Env(std::string("FTP_ROOT_") + name);
        EXPECT_FALSE(port.empty() || root.empty())
            << name << " is not running: run the tests through scripts/test";
        if (!port.empty() && !root.empty()) servers.push_back({name, std::stoi(port), root});
    }
    return servers;
}

inline std::unique_ptr<NMFtp::TNMFTP> Client(const Server& s) {
    auto ftp = std::make_unique<NMFtp::TNMFTP>(nullptr);
    ftp->SetHost("127.0.0.1");
    ftp->SetPort(s.port);
    ftp->SetTimeOut(10000);
    ftp->SetUserID(Env("FTP_USER"));
    ftp->SetPassword(Env("FTP_PASS"));
    return ftp;
}

// The first reply line of a command, or the failing line it raised.
inline std::string Answer(NMFtp::TNMFTP& ftp, const std::string& command) {
    try {
        ftp.DoCommand(command);
        return ftp.LastReply();
    } catch (const NMFtp::FTPException& e) {
        return e.Message();
    }
}

inline std::string Trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

inline std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Written so that the server's account may replace it.
inline void WriteFile(const fs::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    fs::permissions(p, fs::perms::all, fs::perm_options::add);
}

}  // namespace ftpservers
