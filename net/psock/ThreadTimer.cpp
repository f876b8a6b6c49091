#include "net/psock/ThreadTimer.h"

#include "platform/vcl/Forms.h"
#include "platform/vcl/SysUtils.h"

namespace Psock {

using namespace win32;

namespace {

constexpr UINT_PTR kTimerId = 1;

LRESULT TmrWindowProc(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam) {
    auto* timer = reinterpret_cast<TThreadTimer*>(GetWindowLongPtr(Window, 0));
    if (!timer) return DefWindowProc(Window, Msg, WParam, LParam);
    TMessage message{Msg, WParam, LParam, 0};
    timer->Wndproc(message);
    return message.Result;
}

}  // namespace

HWND TmrAllocateHWnd(TThreadTimer* Obj) {
    WNDCLASS TmrWindowClass;
    TmrWindowClass.lpfnWndProc = TmrWindowProc;
    TmrWindowClass.cbWndExtra = sizeof(LONG_PTR);
    TmrWindowClass.hInstance = GetModuleInstance();
    TmrWindowClass.lpszClassName = "TmrWindowClass";
    WNDCLASS existing;
    if (!GetClassInfo(TmrWindowClass.hInstance, TmrWindowClass.lpszClassName, &existing) &&
        !RegisterClass(TmrWindowClass))
        return 0;
    HWND window = CreateWindowEx(WS_EX_TOOLWINDOW, TmrWindowClass.lpszClassName, "", WS_POPUP, 0, 0, 0, 0, 0,
                                 0, TmrWindowClass.hInstance, nullptr);
    if (window && Obj) SetWindowLongPtr(window, 0, reinterpret_cast<LONG_PTR>(Obj));
    return window;
}

TThreadTimer::TThreadTimer(TComponent* AOwner) : TComponent(AOwner) { FWindowHandle = TmrAllocateHWnd(this); }

TThreadTimer::~TThreadTimer() {
    FEnabled = false;
    UpdateTimer();
    DestroyWindow(FWindowHandle);
}

void TThreadTimer::SetEnabled(bool Value) {
    if (Value == FEnabled) return;
    FEnabled = Value;
    UpdateTimer();
}

void TThreadTimer::SetInterval(unsigned Value) {
    if (Value == FInterval) return;
    FInterval = Value;
    UpdateTimer();
}

void TThreadTimer::SetOnTimer(TNotifyEvent Value) {
    FOnTimer = std::move(Value);
    UpdateTimer();
}

// Every run restarts the countdown from zero.
void TThreadTimer::UpdateTimer() {
    KillTimer(FWindowHandle, kTimerId);
    if (FInterval != 0 && FEnabled && FOnTimer) {
        if (SetTimer(FWindowHandle, kTimerId, FInterval, nullptr) == 0) throw vcl::Exception("Aucun timer");
    }
}

void TThreadTimer::Wndproc(TMessage& Msg) {
    if (Msg.Msg == WM_TIMER) {
        try {
            Timer();
        } catch (...) {
            vcl::Application->HandleException(this);
        }
        Msg.Result = 0;
    } else {
        Msg.Result = DefWindowProc(FWindowHandle, Msg.Msg, Msg.WParam, Msg.LParam);
    }
}

void TThreadTimer::Timer() {
    if (FOnTimer) FOnTimer(this);
}

}  // namespace Psock
