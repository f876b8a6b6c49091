// The notification thread: one epoll set (edge-triggered) over every registered socket. Readiness becomes
// a message posted to the socket's window; the window's thread handles it in its own loop.
#include "platform/winsock/PosixNames.h"
// (PosixNames.h first: it removes the POSIX macros that clash with Windows Sockets names.)
#include <sys/epoll.h>
#include <sys/eventfd.h>

#include <cerrno>
#include <thread>

#include "platform/winsock/WinsockInternal.h"

namespace winsock::internal {
namespace {

int gEpoll = -1;
int gWake = -1;
std::thread gThread;

std::uint64_t Key(const SocketState& st) {
    return (static_cast<std::uint64_t>(st.generation) << 32) | static_cast<std::uint32_t>(st.fd);
}

int TakeSocketError(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, posix::kSolSocket, posix::kSoError, &err, &len) != 0) return errno;
    return err;
}

void HandleLocked(SocketState& st, std::uint32_t ev) {
    const long mask = st.reg.events;
    if (st.connectPending && (ev & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
        const int err = TakeSocketError(st.fd);
        // The readiness may have been read before the connect started (an unconnected socket reports
        // a hang-up): only a peer address or an error tells that the attempt is over.
        ::sockaddr_in peer{};
        socklen_t len = sizeof peer;
        if (err == 0 && ::getpeername(st.fd, reinterpret_cast<::sockaddr*>(&peer), &len) != 0) return;
        st.connectPending = false;
        st.established = err == 0;
        WatchLocked(st);
        if (mask & FD_CONNECT) PostLocked(st, FD_CONNECT, MapErrno(err));
        if (err) return;  // a failed connect is not also a close
        // What else this readiness says predates the connection: look at the connection itself.
        pollfd p{st.fd, POLLIN | POLLRDHUP, 0};
        ev = 0;
        if (::poll(&p, 1, 0) > 0) {
            if (p.revents & POLLIN) ev |= EPOLLIN;
            if (p.revents & POLLRDHUP) ev |= EPOLLRDHUP;
            if (p.revents & POLLHUP) ev |= EPOLLHUP;
            if (p.revents & POLLERR) ev |= EPOLLERR;
        }
    }
    if (st.writeWake && (ev & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
        st.writeWake = false;
        WatchLocked(st);
        win32::PostMessageWhile(st.reg.window, win32::WM_NULL, 0, 0, st.reg.valid);
    }
    if (ev & EPOLLIN) {
        if (st.listening) {
            if (st.acceptEnabled && (mask & FD_ACCEPT)) {
                st.acceptEnabled = false;
                PostLocked(st, FD_ACCEPT, 0);
            } else {
                st.acceptPending = true;
            }
        } else if (!st.established) {
            // An unconnected or refused socket reads as ready; there is nothing to read.
        } else if (st.readEnabled && (mask & FD_READ)) {
            st.readEnabled = false;
            PostLocked(st, FD_READ, 0);
        } else {
            st.readPending = true;
        }
    }
    // An unconnected socket reports a hang-up too; only a connection can be closed.
    if (st.established && !st.closePosted && (ev & (EPOLLRDHUP | EPOLLHUP | EPOLLERR))) {
        int err = 0;
        if (ev & EPOLLERR) {
            const int soErr = TakeSocketError(st.fd);
            if (soErr && !st.stickyError) st.stickyError = soErr;
            err = MapErrno(soErr);
        } else if (st.stickyError) {
            err = MapErrno(st.stickyError);
        }
        st.closePosted = true;
        if (mask & FD_CLOSE) PostLocked(st, FD_CLOSE, err);
    }
}

void Run() {
    epoll_event events[64];
    for (;;) {
        int n = ::epoll_wait(gEpoll, events, 64, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        std::lock_guard lock(gSocketLock);
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u64 == 0) return;  // the wake descriptor: stop
            const int fd = static_cast<int>(events[i].data.u64 & 0xFFFFFFFFu);
            const auto generation = static_cast<std::uint32_t>(events[i].data.u64 >> 32);
            SocketState* st = FindLocked(static_cast<SOCKET>(fd));
            if (!st || st->generation != generation || !st->reg.window) continue;
            HandleLocked(*st, events[i].events);
        }
    }
}

}  // namespace

void PostLocked(SocketState& st, long event, int error) {
    win32::PostMessageWhile(
        st.reg.window, st.reg.msg, static_cast<win32::WPARAM>(st.fd),
        win32::MAKELPARAM(static_cast<std::uint16_t>(event), static_cast<std::uint16_t>(error)),
        st.reg.valid);
}

void WatchLocked(SocketState& st) {
    if (!st.reg.window || gEpoll < 0) return;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
    if (st.connectPending || st.writeWake) ev.events |= EPOLLOUT;
    ev.data.u64 = Key(st);
    // The guess of which call applies saves a failing call per registration; the other one is the fallback.
    if (st.inEpoll) {
        if (::epoll_ctl(gEpoll, EPOLL_CTL_MOD, st.fd, &ev) != 0 && errno == ENOENT)
            ::epoll_ctl(gEpoll, EPOLL_CTL_ADD, st.fd, &ev);
    } else if (::epoll_ctl(gEpoll, EPOLL_CTL_ADD, st.fd, &ev) != 0 && errno == EEXIST) {
        ::epoll_ctl(gEpoll, EPOLL_CTL_MOD, st.fd, &ev);
    }
    st.inEpoll = true;
}

void UnwatchLocked(SocketState& st) {
    if (st.reg.valid) st.reg.valid->store(false, std::memory_order_release);
    if (st.inEpoll && gEpoll >= 0) ::epoll_ctl(gEpoll, EPOLL_CTL_DEL, st.fd, nullptr);
    st.inEpoll = false;
}

bool NotifierRunning() { return gEpoll >= 0; }

void StartNotifier() {
    std::lock_guard lock(gSocketLock);
    gEpoll = ::epoll_create1(EPOLL_CLOEXEC);
    gWake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = 0;
    ::epoll_ctl(gEpoll, EPOLL_CTL_ADD, gWake, &ev);
    gThread = std::thread(Run);
}

void StopNotifier() {
    std::uint64_t one = 1;
    [[maybe_unused]] auto w = ::write(gWake, &one, sizeof one);
    if (gThread.joinable()) gThread.join();
    std::lock_guard lock(gSocketLock);
    // Sockets left open lose their notifications, as after a clean-up of the original sockets.
    for (auto& [fd, st] : gSockets) {
        if (st->reg.valid) st->reg.valid->store(false);
        st->reg = Registration{};
    }
    ::close(gWake);
    ::close(gEpoll);
    gWake = gEpoll = -1;
}

}  // namespace winsock::internal
