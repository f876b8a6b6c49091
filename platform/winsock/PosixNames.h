// POSIX socket headers for the stand-in's own files. Some POSIX macros share their names with Windows
// Sockets constants (with other values, e.g. SOL_SOCKET): the POSIX values are kept under posix:: and the
// macros removed, so that the Windows Sockets names mean what they say. Include before Winsock.h.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace posix {
constexpr int kAfInet = AF_INET;
constexpr int kSockStream = SOCK_STREAM;
constexpr int kSolSocket = SOL_SOCKET;
constexpr int kSoLinger = SO_LINGER;
constexpr int kSoError = SO_ERROR;
}  // namespace posix

#undef AF_INET
#undef SOCK_STREAM
#undef IPPROTO_TCP
#undef MSG_PEEK
#undef SOL_SOCKET
#undef SO_LINGER
#undef SOMAXCONN
#undef INADDR_ANY
#undef INADDR_NONE
#undef htons
#undef ntohs
#undef htonl
#undef ntohl
