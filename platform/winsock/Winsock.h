// The Windows Sockets 1.1 calls that the components make, over POSIX sockets (IPv4 only).
//
// Every failing call sets the calling thread's last error to a Windows Sockets number. Sends never raise
// SIGPIPE. WSAAsyncSelect posts notifications with the 1.1 meaning:
//   FD_READ    once when new bytes arrive, and again only after the program called recv (a peek counts);
//   FD_ACCEPT  when a connection waits, again after accept;
//   FD_CONNECT once when a non-blocking connect completes, with its error in the high word;
//   FD_CLOSE   once when the peer's close (or reset) arrives, even while received bytes still wait.
// Received bytes may be held in a read-ahead of this layer; peeks and receives see them exactly as they
// would see the socket's own queue.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/win32/Windows.h"

namespace winsock {

using SOCKET = unsigned int;
using u_short = std::uint16_t;
using u_long = std::uint32_t;
using WORD = std::uint16_t;

constexpr SOCKET INVALID_SOCKET = ~0u;
constexpr int SOCKET_ERROR = -1;

constexpr int AF_INET = 2;
constexpr int SOCK_STREAM = 1;
constexpr int IPPROTO_TCP = 6;
constexpr int MSG_PEEK = 0x2;
constexpr int SOL_SOCKET = 0xFFFF;
constexpr int SO_LINGER = 0x0080;
constexpr int SOMAXCONN = 0x7FFFFFFF;
constexpr u_long INADDR_ANY = 0;
constexpr u_long INADDR_NONE = 0xFFFFFFFFu;

constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;

// Error numbers.
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAENOTEMPTY = 10066;
constexpr int WSAEPROCLIM = 10067;
constexpr int WSAEUSERS = 10068;
constexpr int WSAEDQUOT = 10069;
constexpr int WSAESTALE = 10070;
constexpr int WSAEREMOTE = 10071;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

constexpr int WSADESCRIPTION_LEN = 256;
constexpr int WSASYS_STATUS_LEN = 128;
constexpr int MAXGETHOSTSTRUCT = 1024;

struct WSADATA {
    WORD wVersion = 0;      // major number in the low byte
    WORD wHighVersion = 0;  // likewise
    char szDescription[WSADESCRIPTION_LEN + 1] = {};
    char szSystemStatus[WSASYS_STATUS_LEN + 1] = {};
    unsigned short iMaxSockets = 0;
    unsigned short iMaxUdpDg = 0;
};
using PWSAData = WSADATA*;

struct in_addr {
    u_long s_addr = 0;  // network byte order
};

struct sockaddr_in {
    std::int16_t sin_family = 0;
    u_short sin_port = 0;  // network byte order
    in_addr sin_addr;
    char sin_zero[8] = {};
};
using TSocketAddress = sockaddr_in;

struct linger {
    u_short l_onoff = 0;
    u_short l_linger = 0;
};

// The host record of a lookup; its pointers point into the same buffer.
struct hostent {
    char* h_name;
    char** h_aliases;
    std::int16_t h_addrtype;
    std::int16_t h_length;
    char** h_addr_list;
};
using THostInfo = hostent;

using HANDLE = std::uintptr_t;  // handle of an asynchronous request; 0 on failure

int WSAStartup(WORD versionRequested, WSADATA* data);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int error);

SOCKET socket(int af, int type, int protocol);
int closesocket(SOCKET s);
int setsockopt(SOCKET s, int level, int optname, const void* optval, int optlen);
int connect(SOCKET s, const sockaddr_in* name, int namelen);
int bind(SOCKET s, const sockaddr_in* name, int namelen);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr_in* addr, int* addrlen);
int send(SOCKET s, const void* buf, int len, int flags);
int recv(SOCKET s, void* buf, int len, int flags);
int getsockname(SOCKET s, sockaddr_in* name, int* namelen);
int getpeername(SOCKET s, sockaddr_in* name, int* namelen);

u_long inet_addr(const char* cp);
// The text lives in a per-thread buffer, valid until the next call on the same thread.
const char* inet_ntoa(in_addr in);
u_short htons(u_short v);
u_short ntohs(u_short v);
u_long htonl(u_long v);
u_long ntohl(u_long v);

int gethostname(char* name, int namelen);
// Blocking IPv4 lookup; the record lives in a per-thread buffer. Null on failure.
hostent* gethostbyname(const char* name);

// Registers the socket for notifications to the window (replacing an earlier registration) and makes it
// non-blocking. lParam of each message is the event in the low word and the error in the high word.
int WSAAsyncSelect(SOCKET s, win32::HWND window, win32::UINT msg, long events);

// Resolves the name on a worker thread, writes the host record into buf and posts msg to the window with
// the request handle in wParam and the buffer length and error (high word) in lParam. A request that was
// cancelled never writes into buf and never posts.
HANDLE WSAAsyncGetHostByName(win32::HWND window, win32::UINT msg, const char* name, char* buf, int buflen);
int WSACancelAsyncRequest(HANDLE request);

}  // namespace winsock
