// TThreadTimer: a window timer on a hidden window of its own, ticking OnTimer.
#pragma once

#include "platform/vcl/Classes.h"
#include "platform/win32/Windows.h"

namespace Psock {

using vcl::TComponent;
using vcl::TNotifyEvent;
using vcl::TObject;

class TThreadTimer : public TComponent {
  public:
    explicit TThreadTimer(TComponent* AOwner);
    ~TThreadTimer() override;

    unsigned Interval() const { return FInterval; }
    void SetInterval(unsigned Value);
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool Value);
    const TNotifyEvent& OnTimer() const { return FOnTimer; }
    void SetOnTimer(TNotifyEvent Value);

    void Wndproc(win32::TMessage& Msg);
    win32::HWND WindowHandle() const { return FWindowHandle; }

  protected:
    // Called on each tick.
    virtual void Timer();

  private:
    void UpdateTimer();

    unsigned FInterval = 1000;
    win32::HWND FWindowHandle = 0;
    TNotifyEvent FOnTimer;
    bool FEnabled = true;
};

// A hidden window of the class "TmrWindowClass" whose messages go to the timer's Wndproc; 0 on failure.
win32::HWND TmrAllocateHWnd(TThreadTimer* Obj);

}  // namespace Psock
