// Hidden windows, window procedures, posted messages and window timers.
//
// A window here is never shown: it is a message target that lives on the thread that created it. Posted
// messages and timer ticks reach its window procedure through that thread's event loop, so they are
// handled either by the message loop or by the next ProcessMessages of that thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace win32 {

using UINT = unsigned int;
using DWORD = std::uint32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using LONG_PTR = std::intptr_t;
using UINT_PTR = std::uintptr_t;
using HINSTANCE = std::uintptr_t;
using HMENU = std::uintptr_t;
using HWND = std::uintptr_t;  // 0 is the null handle

using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);

// A message handed to an object's window procedure.
struct TMessage {
    UINT Msg = 0;
    WPARAM WParam = 0;
    LPARAM LParam = 0;
    LRESULT Result = 0;
};

constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_USER = 0x0400;

constexpr DWORD WS_POPUP = 0x80000000u;
constexpr DWORD WS_EX_TOOLWINDOW = 0x00000080u;

struct WNDCLASS {
    UINT style = 0;
    WNDPROC lpfnWndProc = nullptr;
    int cbClsExtra = 0;
    int cbWndExtra = 0;
    HINSTANCE hInstance = 0;
    const char* lpszClassName = nullptr;
};

// Word-wide helpers for packing a notification into LPARAM.
constexpr std::uint16_t LOWORD(LPARAM v) { return static_cast<std::uint16_t>(v & 0xFFFF); }
constexpr std::uint16_t HIWORD(LPARAM v) { return static_cast<std::uint16_t>((v >> 16) & 0xFFFF); }
constexpr LPARAM MAKELPARAM(std::uint16_t lo, std::uint16_t hi) {
    return static_cast<LPARAM>(static_cast<std::uint32_t>(lo) | (static_cast<std::uint32_t>(hi) << 16));
}

HINSTANCE GetModuleInstance();

// Window classes are process-wide and registered once by name.
bool GetClassInfo(HINSTANCE instance, const char* className, WNDCLASS* out);
bool RegisterClass(const WNDCLASS& wc);

// Creates a hidden window of a registered class on the calling thread; 0 when the class is unknown.
HWND CreateWindowEx(DWORD exStyle, const char* className, const char* title, DWORD style, int x, int y, int w,
                    int h, HWND parent, HMENU menu, HINSTANCE instance, void* param);
// Destroys the window; pending messages and timers of it are dropped. Call it on the owning thread.
bool DestroyWindow(HWND window);
bool IsWindow(HWND window);

// Extra bytes of a window: slot 0 is the one pointer-wide slot the components use.
LONG_PTR GetWindowLongPtr(HWND window, int index);
LONG_PTR SetWindowLongPtr(HWND window, int index, LONG_PTR value);

LRESULT DefWindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);

// Thread-safe: queues the message to the window's thread. False when the window does not exist.
bool PostMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
// As PostMessage, but the message is dropped at delivery when *valid has become false by then. The socket
// layer uses it so that a notification of a socket closed meanwhile never reaches a later socket.
bool PostMessageWhile(HWND window, UINT msg, WPARAM wParam, LPARAM lParam,
                      std::shared_ptr<const std::atomic<bool>> valid);

// Repeating timer on a window of the calling thread; each tick reaches the window procedure as WM_TIMER
// with the timer's identifier in wParam. Setting an existing identifier restarts its countdown.
UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapseMs, void* timerFunc);
bool KillTimer(HWND window, UINT_PTR id);

void Sleep(DWORD ms);

// Messages and timer ticks delivered to window procedures on the calling thread so far.
std::uint64_t DeliveredMessageCount();

// Messages and timer ticks delivered to window procedures on any thread so far. A thread without a message
// loop of its own (a worker thread whose component's windows belong to the user-interface thread) waits
// on this: it learns that a notification was handled for it when the count moves.
std::uint64_t DeliveredMessageCountAll();
// Returns as soon as the count of all deliveries differs from seen, or after maxWaitMs; gives the count.
std::uint64_t WaitForDeliveryAll(std::uint64_t seen, unsigned maxWaitMs);
// Counts as a delivery and wakes those waits, for a change of state that no message brings (a cancel).
void WakeDeliveryWaiters();

}  // namespace win32
