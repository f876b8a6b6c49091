// The part of ftp_connect_bench that uses TNMFTP, kept in a unit of its own: the component's socket
// declarations and the system's cannot share one translation unit with the plain-socket client.
#pragma once

#include <string>

namespace ftpbench {

// One session through TNMFTP on 127.0.0.1:port: Connect (greeting, USER, PASS), ChangeDir("memoire"),
// ChangeDir("quil"), Disconnect (QUIT). Raises std::runtime_error with the failing reply when a step fails.
void ComponentDialogue(int port, const std::string& user, const std::string& pass);

}  // namespace ftpbench
