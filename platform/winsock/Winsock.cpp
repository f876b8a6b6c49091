// The socket calls: a table of sockets with their notification state and read-ahead, over POSIX sockets.
#include "platform/winsock/PosixNames.h"
// (PosixNames.h first: it removes the POSIX macros that clash with Windows Sockets names.)
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/winsock/WinsockInternal.h"

namespace winsock {

using namespace internal;

namespace internal {
std::mutex gSocketLock;
std::unordered_map<int, std::unique_ptr<SocketState>> gSockets;

SocketState* FindLocked(SOCKET s) {
    auto it = gSockets.find(static_cast<int>(s));
    return it == gSockets.end() ? nullptr : it->second.get();
}
}  // namespace internal

namespace {

std::mutex gStartupLock;
int gStartups = 0;
std::atomic<std::uint32_t> gGeneration{1};

// Kernel read-ahead size: one receive takes up to this much from the kernel.
constexpr std::size_t kAheadCapacity = 65536;

bool Started() {
    std::lock_guard lock(gStartupLock);
    return gStartups > 0;
}

::sockaddr_in ToPosix(const sockaddr_in& a) {
    ::sockaddr_in p{};
    p.sin_family = static_cast<sa_family_t>(a.sin_family == AF_INET ? posix::kAfInet : a.sin_family);
    p.sin_port = a.sin_port;
    p.sin_addr.s_addr = a.sin_addr.s_addr;
    return p;
}

void FromPosix(const ::sockaddr_in& p, sockaddr_in* a) {
    *a = sockaddr_in{};
    a->sin_family = p.sin_family == posix::kAfInet ? AF_INET : static_cast<std::int16_t>(p.sin_family);
    a->sin_port = p.sin_port;
    a->sin_addr.s_addr = p.sin_addr.s_addr;
}

SocketState& AddLocked(int fd) {
    auto st = std::make_unique<SocketState>();
    st->fd = fd;
    st->generation = gGeneration++;
    SocketState& ref = *st;
    gSockets[fd] = std::move(st);
    return ref;
}

// The program received (or peeked): FD_READ may be posted again, at once if bytes arrived meanwhile.
void ReenableReadLocked(SocketState& st) {
    if (st.readPending && st.reg.window && (st.reg.events & FD_READ)) {
        st.readPending = false;
        st.readEnabled = false;
        PostLocked(st, FD_READ, 0);
    } else {
        st.readEnabled = true;
    }
}

// Moves what the kernel holds into the read-ahead, up to its capacity. Returns false with errno set on a
// failure other than "nothing there".
bool TopUpLocked(SocketState& st, std::size_t want) {
    if (st.peerClosed || st.stickyError) return true;
    if (st.aheadStart > 0) {
        std::memmove(st.ahead.get(), st.ahead.get() + st.aheadStart, st.AheadSize());
        st.aheadEnd -= st.aheadStart;
        st.aheadStart = 0;
    }
    const std::size_t capacity = std::max(kAheadCapacity, want);
    const std::size_t have = st.aheadEnd;
    if (have >= capacity) return true;
    if (st.aheadCapacity < capacity) {
        auto bigger = std::make_unique_for_overwrite<char[]>(capacity);
        if (have) std::memcpy(bigger.get(), st.ahead.get(), have);
        st.ahead = std::move(bigger);
        st.aheadCapacity = capacity;
    }
    const ssize_t n = ::recv(st.fd, st.ahead.get() + have, capacity - have, MSG_DONTWAIT);
    if (n > 0) st.aheadEnd += static_cast<std::size_t>(n);
    if (n == 0) st.peerClosed = true;
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return true;
        if (errno == ECONNRESET) st.stickyError = ECONNRESET;
        if (st.stickyError) return true;
        return false;
    }
    return true;
}

}  // namespace

int WSAStartup(WORD versionRequested, WSADATA* data) {
    if (!data) return WSAEFAULT;
    if ((versionRequested & 0xFF) < 1) return WSAVERNOTSUPPORTED;
    {
        std::lock_guard lock(gStartupLock);
        if (gStartups++ == 0) StartNotifier();
    }
    *data = WSADATA{};
    data->wVersion = 0x0101;
    data->wHighVersion = 0x0101;
    std::snprintf(data->szDescription, sizeof data->szDescription,
                  "Windows Sockets 1.1 stand-in over POSIX sockets");
    std::snprintf(data->szSystemStatus, sizeof data->szSystemStatus, "Running");
    rlimit rl{};
    unsigned long maxSockets = 65535;
    if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < maxSockets) maxSockets = rl.rlim_cur;
    data->iMaxSockets = static_cast<unsigned short>(maxSockets);
    data->iMaxUdpDg = 65467;
    return 0;
}

int WSACleanup() {
    std::lock_guard lock(gStartupLock);
    if (gStartups == 0) return Fail(WSANOTINITIALISED);
    if (--gStartups == 0) StopNotifier();
    return 0;
}

SOCKET socket(int af, int type, int protocol) {
    if (!Started()) return Fail(WSANOTINITIALISED), INVALID_SOCKET;
    if (af != AF_INET) return Fail(WSAEAFNOSUPPORT), INVALID_SOCKET;
    if (type != SOCK_STREAM) return Fail(WSAESOCKTNOSUPPORT), INVALID_SOCKET;
    if (protocol != 0 && protocol != IPPROTO_TCP) return Fail(WSAEPROTONOSUPPORT), INVALID_SOCKET;
    int fd = ::socket(posix::kAfInet, posix::kSockStream | SOCK_CLOEXEC, 0);
    if (fd < 0) return FailFromErrno(errno), INVALID_SOCKET;
    std::lock_guard lock(gSocketLock);
    AddLocked(fd);
    return static_cast<SOCKET>(fd);
}

int closesocket(SOCKET s) {
    int fd;
    {
        std::lock_guard lock(gSocketLock);
        SocketState* st = FindLocked(s);
        if (!st) return Fail(WSAENOTSOCK);
        st->inEpoll = false;  // closing the descriptor takes it out of the poller's set
        UnwatchLocked(*st);
        fd = st->fd;
        gSockets.erase(fd);
    }
    if (::close(fd) != 0 && errno != EINTR) return FailFromErrno(errno);
    return 0;
}

int setsockopt(SOCKET s, int level, int optname, const void* optval, int optlen) {
    std::lock_guard lock(gSocketLock);
    SocketState* st = FindLocked(s);
    if (!st) return Fail(WSAENOTSOCK);
    if (level != SOL_SOCKET || optname != SO_LINGER) return Fail(WSAENOPROTOOPT);
    if (!optval || optlen < static_cast<int>(sizeof(linger))) return Fail(WSAEFAULT);
    const auto* l = static_cast<const linger*>(optval);
    ::linger pl{l->l_onoff ? 1 : 0, l->l_linger};
    if (::setsockopt(st->fd, posix::kSolSocket, posix::kSoLinger, &pl, sizeof pl) != 0)
        return FailFromErrno(errno);
    return 0;
}

int connect(SOCKET s, const sockaddr_in* name, int namelen) {
    if (!name || namelen < static_cast<int>(sizeof(sockaddr_in))) return Fail(WSAEFAULT);
    ::sockaddr_in addr = ToPosix(*name);
    std::unique_lock lock(gSocketLock);
    SocketState* st = FindLocked(s);
    if (!st) return Fail(WSAENOTSOCK);
    const bool async = st->reg.window != 0;
    // The lock is held throughout: the notification thread sees the outcome only once it is recorded.
    if (::connect(st->fd, reinterpret_cast<::sockaddr*>(&addr), sizeof addr) == 0) {
        st->established = true;
        if (!async) return 0;
        // Completed at once: still announced by notification, as a non-blocking connect always is.
        if (st->reg.events & FD_CONNECT) PostLocked(*st, FD_CONNECT, 0);
        return Fail(WSAEWOULDBLOCK);
    }
    const int err = errno;
    if (async && err == EINPROGRESS) {
        st->connectPending = true;
        WatchLocked(*st);
        return Fail(WSAEWOULDBLOCK);
    }
    if (async && (err == ECONNREFUSED || err == ETIMEDOUT || err == ENETUNREACH || err == EHOSTUNREACH)) {
        if (st->reg.events & FD_CONNECT) PostLocked(*st, FD_CONNECT, MapErrno(err));
        return Fail(WSAEWOULDBLOCK);
    }
    return FailFromErrno(err);
}

int bind(SOCKET s, const sockaddr_in* name, int namelen) {
    if (!name || namelen < static_cast<int>(sizeof(sockaddr_in))) return Fail(WSAEFAULT);
    ::sockaddr_in addr = ToPosix(*name);
    std::lock_guard lock(gSocketLock);
    SocketState* st = FindLocked(s);
    if (!st) return Fail(WSAENOTSOCK);
    if (::bind(st->fd, reinterpret_cast<::sockaddr*>(&addr), sizeof addr) != 0) return FailFromErrno(errno);
    return 0;
}

int listen(SOCKET s, int backlog) {
    std::lock_guard lock(gSocketLock);
    SocketState* st = FindLocked(s);
    if (!st) return Fail(WSAENOTSOCK);
    if (::listen(st->fd, std::clamp(backlog, 0, 4096)) != 0) return FailFromErrno(errno);
    st->listening = true;
    WatchLocked(*st);
    return 0;
}

SOCKET accept(SOCKET s, sockaddr_in* addr, int* addrlen) {
    std::lock_guard lock(gSocketLock);
    SocketState* st = FindLocked(s);
    if (!st) return Fail(WSAENOTSOCK), INVALID_SOCKET;
    ::sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int fd = ::accept4(st->fd, reinterpret_cast<::sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    const int err = errno;
    // FD_ACCEPT may come again: at once if another connection is already waiting. Only the queue itself
    // tells: an arrival noted meanwhile may be the very connection just taken.
    st->acceptEnabled = true;
    st->acceptPending = false;
    pollfd p{st->fd, POLLIN, 0};
    if (st->reg.window && ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
        if (st->reg.window && (st->reg.events & FD_ACCEPT)) {
            st->acceptEnabled = false;
            PostLocked(*st, FD_ACCEPT, 0);
        }
    }
    if (fd < 0) return FailFromErrno(err), INVALID_SOCKET;
    if (addr && addrlen && *addrlen >= static_cast<int>(sizeof(sockaddr_in))) {
        FromPosix(peer, addr);
        *addrlen = sizeof(sockaddr_in);
    }
    AddLocked(fd).established = true;
    return static_cast<SOCKET>(fd);
}

int send(SOCKET s, const void* buf, int len, int) {
    std::lock_guard lock(gSocketLock);
    SocketState* st = FindLocked(s);
    if (!st) return Fail(WSAENOTSOCK);
    if (st->stickyError) return FailFromErrno(st->stickyError);
    if (len < 0) return Fail(WSAEINVAL);
    ssize_t n = ::send(st->fd, buf, static_cast<std::size_t>(len), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return static_cast<int>(n);
    const int err = errno;
    if ((err == EAGAIN || err == EWOULDBLOCK) && st->reg.window && !st->writeWake) {
        st->writeWake = true;
        WatchLocked(*st);
    }
    if (err == ECONNRESET) st->stickyError = ECONNRESET;
    return FailFromErrno(err);
}

int recv(SOCKET s, void* buf, int len, int flags) {
    std::lock_guard lock(gSocketLock);
    SocketState* st = FindLocked(s);
    if (!st) return Fail(WSAENOTSOCK);
    if (len < 0 || (len > 0 && !buf)) return Fail(WSAEFAULT);
    if (st->listening) return Fail(WSAENOTCONN);
    const std::size_t want = static_cast<std::size_t>(len);
    // A large receive with nothing held ahead goes straight into the caller's buffer.
    if (!(flags & MSG_PEEK) && st->AheadSize() == 0 && want >= 4096 && !st->peerClosed && !st->stickyError) {
        const ssize_t n = ::recv(st->fd, buf, want, MSG_DONTWAIT);
        const int err = n < 0 ? errno : 0;
        if (n > 0 || (n < 0 && err != EAGAIN && err != EWOULDBLOCK && err != EINTR && err != ECONNRESET)) {
            ReenableReadLocked(*st);
            return n > 0 ? static_cast<int>(n) : FailFromErrno(err);
        }
        if (n == 0) st->peerClosed = true;
        if (err == ECONNRESET) st->stickyError = ECONNRESET;
    }
    if (st->AheadSize() < want && !TopUpLocked(*st, want)) {
        const int err = errno;
        ReenableReadLocked(*st);
        if (st->AheadSize() == 0) return FailFromErrno(err);
    }
    ReenableReadLocked(*st);
    const std::size_t have = st->AheadSize();
    if (have > 0) {
        const std::size_t n = std::min(have, want);
        std::memcpy(buf, st->ahead.get() + st->aheadStart, n);
        if (!(flags & MSG_PEEK)) st->aheadStart += n;
        return static_cast<int>(n);
    }
    if (st->stickyError) return FailFromErrno(st->stickyError);
    if (st->peerClosed) return 0;
    return Fail(WSAEWOULDBLOCK);
}

int getsockname(SOCKET s, sockaddr_in* name, int* namelen) {
    if (!name || !namelen || *namelen < static_cast<int>(sizeof(sockaddr_in))) return Fail(WSAEFAULT);
    std::lock_guard lock(gSocketLock);
    SocketState* st = FindLocked(s);
    if (!st) return Fail(WSAENOTSOCK);
    ::sockaddr_in p{};
    socklen_t len = sizeof p;
    if (::getsockname(st->fd, reinterpret_cast<::sockaddr*>(&p), &len) != 0) return FailFromErrno(errno);
    // An unbound socket has no name on the original sockets.
    if (p.sin_port == 0 && p.sin_addr.s_addr == 0) return Fail(WSAEINVAL);
    FromPosix(p, name);
    *namelen = sizeof(sockaddr_in);
    return 0;
}

int getpeername(SOCKET s, sockaddr_in* name, int* namelen) {
    if (!name || !namelen || *namelen < static_cast<int>(sizeof(sockaddr_in))) return Fail(WSAEFAULT);
    std::lock_guard lock(gSocketLock);
    SocketState* st = FindLocked(s);
    if (!st) return Fail(WSAENOTSOCK);
    ::sockaddr_in p{};
    socklen_t len = sizeof p;
    if (::getpeername(st->fd, reinterpret_cast<::sockaddr*>(&p), &len) != 0) return FailFromErrno(errno);
    FromPosix(p, name);
    *namelen = sizeof(sockaddr_in);
    return 0;
}

u_long inet_addr(const char* cp) { return cp ? ::inet_addr(cp) : INADDR_NONE; }

const char* inet_ntoa(in_addr in) {
    thread_local char text[16];
    const auto* b = reinterpret_cast<const unsigned char*>(&in.s_addr);
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return text;
}

u_short htons(u_short v) { return __builtin_bswap16(v); }
u_short ntohs(u_short v) { return __builtin_bswap16(v); }
u_long htonl(u_long v) { return __builtin_bswap32(v); }
u_long ntohl(u_long v) { return __builtin_bswap32(v); }

int gethostname(char* name, int namelen) {
    if (!name || namelen <= 0) return Fail(WSAEFAULT);
    if (::gethostname(name, static_cast<std::size_t>(namelen)) != 0) return FailFromErrno(errno);
    name[namelen - 1] = '\0';
    return 0;
}

int WSAAsyncSelect(SOCKET s, win32::HWND window, win32::UINT msg, long events) {
    if (!Started()) return Fail(WSANOTINITIALISED);
    if (events != 0 && window == 0) return Fail(WSAEINVAL);
    std::lock_guard lock(gSocketLock);
    SocketState* st = FindLocked(s);
    if (!st) return Fail(WSAENOTSOCK);
    UnwatchLocked(*st);
    st->reg = Registration{};
    if (!st->nonBlocking) {
        const int flags = ::fcntl(st->fd, F_GETFL);
        if (flags < 0 || ::fcntl(st->fd, F_SETFL, flags | O_NONBLOCK) != 0) return FailFromErrno(errno);
        st->nonBlocking = true;
    }
    if (events == 0) return 0;
    st->reg.window = window;
    st->reg.msg = msg;
    st->reg.events = events;
    st->reg.valid = std::make_shared<std::atomic<bool>>(true);
    st->generation = gGeneration++;
    st->readEnabled = true;
    st->readPending = false;
    st->acceptEnabled = true;
    st->acceptPending = false;
    st->closePosted = false;
    // Bytes already in the read-ahead are announced at once, as data waiting at registration is.
    if (st->AheadSize() > 0 && (events & FD_READ)) {
        st->readEnabled = false;
        PostLocked(*st, FD_READ, 0);
    }
    WatchLocked(*st);
    return 0;
}

}  // namespace winsock
