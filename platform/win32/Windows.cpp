// Hidden windows over Qt: each window is a QObject living on the thread that made it. Posted messages are
// Qt posted events (thread-safe to post), window timers are Qt timers of that object.
#include "platform/win32/Windows.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QTimerEvent>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace win32 {
namespace {

const QEvent::Type kMessageEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

struct MessageEvent : QEvent {
    MessageEvent(UINT m, WPARAM w, LPARAM l, std::shared_ptr<const std::atomic<bool>> v)
        : QEvent(kMessageEvent), msg(m), wParam(w), lParam(l), valid(std::move(v)) {}
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
    std::shared_ptr<const std::atomic<bool>> valid;
    // Released by the posting thread, acquired at delivery: the hand-over through Qt's queue is then
    // visible to the thread sanitizer, which does not see into the uninstrumented Qt library.
    std::atomic<bool> posted{false};
};

class HiddenWindow;

// Process-wide tables. The window registry lock is held while posting, so a window cannot be freed
// between the lookup and the post.
std::mutex gClassLock;
std::map<std::string, WNDCLASS> gClasses;
std::mutex gWindowLock;
std::unordered_map<HWND, HiddenWindow*> gWindows;
HWND gNextHandle = 1;
thread_local std::uint64_t tDelivered = 0;

// Deliveries on every thread, and the threads waiting for the next one.
std::atomic<std::uint64_t> gDeliveredAll{0};
std::atomic<int> gDeliveryWaiters{0};
std::mutex gDeliveryLock;
std::condition_variable gDelivered;

void NoteDelivery() {
    gDeliveredAll.fetch_add(1);
    if (gDeliveryWaiters.load() > 0) {
        // Taking the lock orders this with a waiter between its check and its sleep.
        { std::lock_guard lock(gDeliveryLock); }
        gDelivered.notify_all();
    }
}

class HiddenWindow : public QObject {
  public:
    HiddenWindow(HWND handle, WNDPROC proc) : handle_(handle), proc_(proc) {}

    LONG_PTR slot0 = 0;

    void Destroy() {
        proc_ = nullptr;
        timers_.clear();
        Rearm();
        if (depth_ == 0)
            delete this;
        else
            destroyed_ = true;  // freed when the dispatch that is running returns
    }

    // Window timers are kept as deadlines; one Qt timer wakes the thread at the earliest of them. Setting
    // and killing a timer thus costs no call into the event loop, which matters to an operation that
    // re-arms its time-out for every line it reads.
    UINT_PTR StartTimer(UINT_PTR id, UINT ms) {
        const Clock::time_point due = Clock::now() + std::chrono::milliseconds(ms);
        Timer* t = FindTimer(id);
        if (!t) {
            timers_.push_back(Timer{id, ms, due});
        } else {
            t->interval = ms;
            t->due = due;
        }
        if (qtTimer_ == 0 || due < armedFor_) Arm(due);
        return id;
    }

    bool StopTimer(UINT_PTR id) {
        for (auto it = timers_.begin(); it != timers_.end(); ++it) {
            if (it->id == id) {
                timers_.erase(it);  // the Qt timer, if any, finds nothing due and rearms or stops
                return true;
            }
        }
        return false;
    }

  protected:
    bool event(QEvent* e) override {
        if (e->type() == kMessageEvent) {
            auto* m = static_cast<MessageEvent*>(e);
            m->posted.load(std::memory_order_acquire);
            if (!m->valid || m->valid->load(std::memory_order_acquire))
                Dispatch(m->msg, m->wParam, m->lParam);
            return true;
        }
        return QObject::event(e);
    }

    void timerEvent(QTimerEvent* e) override {
        if (e->timerId() != qtTimer_) return;
        killTimer(qtTimer_);
        qtTimer_ = 0;
        const Clock::time_point now = Clock::now();
        std::vector<UINT_PTR> due;
        for (Timer& t : timers_) {
            if (t.due <= now) {
                due.push_back(t.id);
                t.due = now + std::chrono::milliseconds(t.interval);  // repeating, from this tick
            }
        }
        Rearm();
        // A tick's handler may kill, set or destroy: each id is looked up again before its tick.
        for (UINT_PTR id : due) {
            if (!FindTimer(id)) continue;
            if (!Dispatch(WM_TIMER, id, 0)) return;  // the window went away
        }
    }

  private:
    using Clock = std::chrono::steady_clock;
    struct Timer {
        UINT_PTR id;
        UINT interval;
        Clock::time_point due;
    };

    Timer* FindTimer(UINT_PTR id) {
        for (Timer& t : timers_)
            if (t.id == id) return &t;
        return nullptr;
    }

    void Arm(Clock::time_point due) {
        if (qtTimer_ != 0) killTimer(qtTimer_);
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now());
        qtTimer_ = startTimer(std::max(left, std::chrono::milliseconds(0)), Qt::PreciseTimer);
        armedFor_ = due;
    }

    // Arms the Qt timer for the earliest deadline, or stops it when no timer is left.
    void Rearm() {
        if (timers_.empty()) {
            if (qtTimer_ != 0) killTimer(qtTimer_);
            qtTimer_ = 0;
            return;
        }
        Clock::time_point earliest = timers_.front().due;
        for (const Timer& t : timers_) earliest = std::min(earliest, t.due);
        Arm(earliest);
    }

    // Returns false when the window was freed by the procedure.
    bool Dispatch(UINT msg, WPARAM wParam, LPARAM lParam) {
        if (!proc_) return true;
        ++tDelivered;
        ++depth_;
        proc_(handle_, msg, wParam, lParam);
        NoteDelivery();
        if (--depth_ == 0 && destroyed_) {
            delete this;
            return false;
        }
        return true;
    }

    HWND handle_;
    WNDPROC proc_;
    std::vector<Timer> timers_;
    int qtTimer_ = 0;
    Clock::time_point armedFor_;
    int depth_ = 0;
    bool destroyed_ = false;
};

HiddenWindow* Find(HWND window) {
    std::lock_guard lock(gWindowLock);
    auto it = gWindows.find(window);
    return it == gWindows.end() ? nullptr : it->second;
}

bool Post(HWND window, QEvent* e) {
    std::lock_guard lock(gWindowLock);
    auto it = gWindows.find(window);
    if (it == gWindows.end()) {
        delete e;
        return false;
    }
    if (e->type() == kMessageEvent) static_cast<MessageEvent*>(e)->posted.store(true, std::memory_order_release);
    QCoreApplication::postEvent(it->second, e);
    return true;
}

}  // namespace

HINSTANCE GetModuleInstance() { return 0x400000; }

bool GetClassInfo(HINSTANCE, const char* className, WNDCLASS* out) {
    std::lock_guard lock(gClassLock);
    auto it = gClasses.find(className ? className : "");
    if (it == gClasses.end()) return false;
    if (out) *out = it->second;
    return true;
}

bool RegisterClass(const WNDCLASS& wc) {
    if (!wc.lpszClassName || !wc.lpfnWndProc) return false;
    std::lock_guard lock(gClassLock);
    return gClasses.emplace(wc.lpszClassName, wc).second;
}

HWND CreateWindowEx(DWORD, const char* className, const char*, DWORD, int, int, int, int, HWND, HMENU,
                    HINSTANCE, void*) {
    WNDCLASS wc;
    if (!GetClassInfo(0, className, &wc)) return 0;
    std::lock_guard lock(gWindowLock);
    HWND handle = gNextHandle++;
    gWindows.emplace(handle, new HiddenWindow(handle, wc.lpfnWndProc));
    return handle;
}

bool DestroyWindow(HWND window) {
    HiddenWindow* w = nullptr;
    {
        std::lock_guard lock(gWindowLock);
        auto it = gWindows.find(window);
        if (it == gWindows.end()) return false;
        w = it->second;
        gWindows.erase(it);
    }
    w->Destroy();
    return true;
}

bool IsWindow(HWND window) { return Find(window) != nullptr; }

LONG_PTR GetWindowLongPtr(HWND window, int index) {
    HiddenWindow* w = Find(window);
    return (w && index == 0) ? w->slot0 : 0;
}

LONG_PTR SetWindowLongPtr(HWND window, int index, LONG_PTR value) {
    HiddenWindow* w = Find(window);
    if (!w || index != 0) return 0;
    LONG_PTR old = w->slot0;
    w->slot0 = value;
    return old;
}

LRESULT DefWindowProc(HWND, UINT, WPARAM, LPARAM) { return 0; }

bool PostMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    return Post(window, new MessageEvent(msg, wParam, lParam, nullptr));
}

bool PostMessageWhile(HWND window, UINT msg, WPARAM wParam, LPARAM lParam,
                      std::shared_ptr<const std::atomic<bool>> valid) {
    return Post(window, new MessageEvent(msg, wParam, lParam, std::move(valid)));
}

UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapseMs, void*) {
    HiddenWindow* w = Find(window);
    return w ? w->StartTimer(id, elapseMs) : 0;
}

bool KillTimer(HWND window, UINT_PTR id) {
    HiddenWindow* w = Find(window);
    return w && w->StopTimer(id);
}

std::uint64_t DeliveredMessageCount() { return tDelivered; }

std::uint64_t DeliveredMessageCountAll() { return gDeliveredAll.load(); }

std::uint64_t WaitForDeliveryAll(std::uint64_t seen, unsigned maxWaitMs) {
    std::uint64_t now = gDeliveredAll.load();
    if (now != seen || maxWaitMs == 0) return now;
    ++gDeliveryWaiters;
    {
        std::unique_lock lock(gDeliveryLock);
        gDelivered.wait_for(lock, std::chrono::milliseconds(maxWaitMs),
                            [seen] { return gDeliveredAll.load() != seen; });
    }
    --gDeliveryWaiters;
    return gDeliveredAll.load();
}

void WakeDeliveryWaiters() { NoteDelivery(); }

void Sleep(DWORD ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace win32
