// Host lookups: the blocking one, and the asynchronous one on a worker thread that posts its completion.
#include "platform/winsock/PosixNames.h"
// (PosixNames.h first: it removes the POSIX macros that clash with Windows Sockets names.)

#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/winsock/WinsockInternal.h"

namespace winsock {
namespace {

struct LookupResult {
    std::string name;
    std::vector<u_long> addresses;  // network order
    int error = 0;
};

LookupResult Resolve(const std::string& name) {
    LookupResult r;
    addrinfo hints{};
    hints.ai_family = posix::kAfInet;
    hints.ai_socktype = posix::kSockStream;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (rc != 0) {
        r.error = rc == EAI_AGAIN ? WSATRY_AGAIN : rc == EAI_FAIL ? WSANO_RECOVERY : WSAHOST_NOT_FOUND;
        return r;
    }
    r.name = list->ai_canonname ? list->ai_canonname : name;
    for (addrinfo* a = list; a && r.addresses.size() < 35; a = a->ai_next) {
        const u_long addr = reinterpret_cast<const ::sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
        bool seen = false;
        for (u_long x : r.addresses) seen = seen || x == addr;
        if (!seen) r.addresses.push_back(addr);
    }
    ::freeaddrinfo(list);
    if (r.addresses.empty()) r.error = WSANO_DATA;
    return r;
}

// Lays a host record out in buf (pointers into buf itself). Returns the bytes used, 0 when it does not fit.
int Layout(const LookupResult& r, char* buf, int buflen) {
    const std::size_t n = r.addresses.size();
    const std::size_t need = sizeof(hostent) + sizeof(char*) * (1 + n + 1) + 4 * n + r.name.size() + 1;
    if (buflen < 0 || need > static_cast<std::size_t>(buflen)) return 0;
    auto* h = reinterpret_cast<hostent*>(buf);
    char** aliases = reinterpret_cast<char**>(buf + sizeof(hostent));
    char** addrList = aliases + 1;
    char* addrBytes = reinterpret_cast<char*>(addrList + n + 1);
    char* nameText = addrBytes + 4 * n;
    aliases[0] = nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        std::memcpy(addrBytes + 4 * i, &r.addresses[i], 4);
        addrList[i] = addrBytes + 4 * i;
    }
    addrList[n] = nullptr;
    std::memcpy(nameText, r.name.c_str(), r.name.size() + 1);
    h->h_name = nameText;
    h->h_aliases = aliases;
    h->h_addrtype = AF_INET;
    h->h_length = 4;
    h->h_addr_list = addrList;
    return static_cast<int>(need);
}

struct Request {
    std::mutex lock;
    bool finished = false;  // completed or cancelled: buf is no longer ours
    win32::HWND window;
    win32::UINT msg;
    char* buf;
    int buflen;
    std::shared_ptr<std::atomic<bool>> valid = std::make_shared<std::atomic<bool>>(true);
};

std::mutex gRequestsLock;
std::map<HANDLE, std::shared_ptr<Request>> gRequests;
HANDLE gNextRequest = 1;

void Complete(HANDLE handle, std::shared_ptr<Request> req, const std::string& name) {
    const LookupResult r = Resolve(name);
    {
        std::lock_guard lock(req->lock);
        if (!req->finished) {
            req->finished = true;
            int error = r.error;
            int used = 0;
            if (!error) {
                used = Layout(r, req->buf, req->buflen);
                if (used == 0) error = WSAENOBUFS;
            }
            win32::PostMessageWhile(
                req->window, req->msg, handle,
                win32::MAKELPARAM(static_cast<std::uint16_t>(used), static_cast<std::uint16_t>(error)),
                req->valid);
        }
    }
    std::lock_guard lock(gRequestsLock);
    gRequests.erase(handle);
}

}  // namespace

hostent* gethostbyname(const char* name) {
    thread_local char buf[MAXGETHOSTSTRUCT];
    if (!name) return internal::Fail(WSAEFAULT), nullptr;
    const LookupResult r = Resolve(name);
    if (r.error) return internal::Fail(r.error), nullptr;
    if (Layout(r, buf, sizeof buf) == 0) return internal::Fail(WSAENOBUFS), nullptr;
    return reinterpret_cast<hostent*>(buf);
}

HANDLE WSAAsyncGetHostByName(win32::HWND window, win32::UINT msg, const char* name, char* buf, int buflen) {
    if (!name || !buf) return internal::Fail(WSAEFAULT), 0;
    auto req = std::make_shared<Request>();
    req->window = window;
    req->msg = msg;
    req->buf = buf;
    req->buflen = buflen;
    HANDLE handle;
    {
        std::lock_guard lock(gRequestsLock);
        handle = gNextRequest++;
        gRequests[handle] = req;
    }
    std::thread(Complete, handle, req, std::string(name)).detach();
    return handle;
}

int WSACancelAsyncRequest(HANDLE request) {
    std::shared_ptr<Request> req;
    {
        std::lock_guard lock(gRequestsLock);
        auto it = gRequests.find(request);
        if (it != gRequests.end()) req = it->second;
    }
    if (!req) return internal::Fail(WSAEINVAL);
    std::lock_guard lock(req->lock);
    req->valid->store(false, std::memory_order_release);
    if (req->finished) return internal::Fail(WSAEALREADY);
    req->finished = true;
    return 0;
}

}  // namespace winsock
