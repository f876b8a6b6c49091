// A TNMFTP wired to a scripted peer, with every event and status text recorded.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "net/ftp/NMFtp.h"
#include "net/psock/Psock.h"
#include "support/ScriptedPeer.h"

namespace ftptest {

using NMFtp::TCmdType;
using NMFtp::TNMFTP;

constexpr const char* kUser = "u12345678";
constexpr const char* kPass = "s3cretpw";

struct FtpDialogue {
    testsupport::ScriptedPeer peer;
    std::unique_ptr<TNMFTP> ftp = std::make_unique<TNMFTP>(nullptr);
    std::vector<std::string> events;    // "connect", "failed", "disconnect", "success 14", ...
    std::vector<std::string> statuses;  // every status text, at level 8

    FtpDialogue() {
        ftp->SetHost("127.0.0.1");
        ftp->SetPort(peer.Port());
        ftp->SetTimeOut(5000);
        ftp->SetUserID(kUser);
        ftp->SetPassword(kPass);
        ftp->SetReportLevel(8);
        ftp->OnStatus = [this](vcl::TComponent*, const std::string& s) { statuses.push_back(s); };
        ftp->OnConnect = [this](vcl::TObject*) { events.push_back("connect"); };
        ftp->OnConnectionFailed = [this](vcl::TObject*) { events.push_back("failed"); };
        ftp->OnDisconnect = [this](vcl::TObject*) { events.push_back("disconnect"); };
        ftp->OnSuccess = [this](TCmdType t) { events.push_back("success " + std::to_string(t)); };
        ftp->OnUnSupportedFunction = [this](TCmdType t) {
            events.push_back("unsupported " + std::to_string(t));
        };
    }

    // Runs f; returns the message of the exception it raised, or "ok".
    static std::string Outcome(const std::function<void()>& f) {
        try {
            f();
        } catch (const vcl::Exception& e) {
            return e.Message();
        }
        return "ok";
    }

    bool SawStatus(const std::string& s) const {
        for (const auto& x : statuses)
            if (x == s) return true;
        return false;
    }
};

// The peer accepts and logs the client in without a password step; the test adds its own steps after.
inline void Login(FtpDialogue& d) {
    d.peer.Accept().Reply("220 Ready").Expect(std::string("USER ") + kUser).Reply("230 In");
}

// The kind of exception an operation raised and its message; {"ok", ""} when it raised none.
struct Outcome {
    std::string type;
    std::string message;
    bool operator==(const Outcome&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Outcome& o) {
    return os << o.type << " \"" << o.message << "\"";
}

inline Outcome OutcomeOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const NMFtp::FTPException& e) {
        return {"FTPException", e.Message()};
    } catch (const Psock::EAbortError& e) {
        return {"EAbortError", e.Message()};
    } catch (const Psock::ESockError& e) {
        return {"ESockError", e.Message()};
    } catch (const vcl::EConvertError& e) {
        return {"EConvertError", e.Message()};
    } catch (const vcl::EFOpenError& e) {
        return {"EFOpenError", e.Message()};
    } catch (const vcl::EFCreateError& e) {
        return {"EFCreateError", e.Message()};
    } catch (const vcl::Exception& e) {
        return {"Exception", e.Message()};
    } catch (const std::exception& e) {
        return {"std::exception", e.what()};
    }
    return {"ok", ""};
}

}  // namespace ftptest
