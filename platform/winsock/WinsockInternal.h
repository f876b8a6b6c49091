// State shared by the files of the Windows Sockets stand-in. Not for use outside platform/winsock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/winsock/Winsock.h"

namespace winsock::internal {

// Sets the calling thread's last error from errno (mapped) and returns SOCKET_ERROR.
int FailFromErrno(int err);
int Fail(int wsaError);
int MapErrno(int err);

struct Registration {
    win32::HWND window = 0;
    win32::UINT msg = 0;
    long events = 0;
    std::shared_ptr<std::atomic<bool>> valid;  // cleared when replaced or when the socket closes
};

// One socket of the stand-in. Guarded by gSocketLock.
struct SocketState {
    int fd = -1;
    std::uint32_t generation = 0;
    Registration reg;
    bool listening = false;
    bool readEnabled = true;    // FD_READ may be posted on the next arrival
    bool readPending = false;   // bytes arrived while FD_READ was disabled
    bool acceptEnabled = true;  // likewise for FD_ACCEPT
    bool acceptPending = false;
    bool connectPending = false;
    bool closePosted = false;
    bool inEpoll = false;      // in the poller's set (as far as this table knows)
    bool nonBlocking = false;  // O_NONBLOCK set already
    bool established = false;  // connected or accepted: only then can a close be announced
    bool writeWake = false;    // a send would block: wake the window's thread when room comes
    bool peerClosed = false;
    int stickyError = 0;  // a reset stays reported, as on the original sockets

    // Read-ahead: bytes taken from the kernel but not yet received by the program.
    // The buffer only grows; [aheadStart, aheadEnd) holds the bytes.
    std::unique_ptr<char[]> ahead;
    std::size_t aheadCapacity = 0;
    std::size_t aheadStart = 0;
    std::size_t aheadEnd = 0;
    std::size_t AheadSize() const { return aheadEnd - aheadStart; }
};

extern std::mutex gSocketLock;
extern std::unordered_map<int, std::unique_ptr<SocketState>> gSockets;

SocketState* FindLocked(SOCKET s);

// Notification helpers; call with gSocketLock held.
void PostLocked(SocketState& st, long event, int error);
void WatchLocked(SocketState& st);  // (re)arms the poller's interest for st
void UnwatchLocked(SocketState& st);
bool NotifierRunning();
void StartNotifier();
void StopNotifier();

}  // namespace winsock::internal
