// Threads, locks and the lock-protected list.
//
// A TThread runs its Execute on a thread of its own. That thread has no message loop: messages for the
// windows it uses are handled by the thread that owns each window (the user-interface thread), and the
// waits of a component running on a TThread idle until the user-interface thread has handled a message.
// Work that must run on the user-interface thread (destroying a window, for one) goes through Synchronize
// or Queue.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/vcl/Classes.h"

namespace vcl {

// A lock that the thread holding it may take again.
class TCriticalSection {
  public:
    void Acquire() { FLock.lock(); }
    void Release() { FLock.unlock(); }
    void Enter() { Acquire(); }
    void Leave() { Release(); }
    // For std::lock_guard and friends.
    void lock() { Acquire(); }
    void unlock() { Release(); }

  private:
    std::recursive_mutex FLock;
};

// A list of objects behind a lock: LockList gives the list with the lock held until UnlockList.
class TThreadList {
  public:
    std::vector<TObject*>& LockList();
    void UnlockList();
    // Adds the item unless it is there already.
    void Add(TObject* Item);
    void Remove(TObject* Item);
    void Clear();
    int Count();

  private:
    std::recursive_mutex FLock;
    std::vector<TObject*> FList;
};

class TThread : public TObject {
  public:
    // A suspended thread waits for Start; any other starts at once.
    explicit TThread(bool CreateSuspended);
    // A thread that does not free itself is asked to terminate and waited for.
    ~TThread() override;
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    void Start();
    void Resume() { Start(); }
    void Terminate() { FTerminated = true; }
    bool Terminated() const { return FTerminated; }
    bool Finished() const { return FFinished; }
    // Waits until Execute has returned; on the user-interface thread, synchronized calls run meanwhile.
    // Never for a thread that frees itself.
    void WaitFor();

    // When set (from any thread before Execute ends), the thread destroys its object when Execute returns.
    std::atomic<bool> FreeOnTerminate{false};

    // Runs Method on the user-interface thread and returns when it has run; its exception is raised here.
    // On the user-interface thread itself it runs at once.
    static void Synchronize(const std::function<void()>& Method);
    // Has Method run on the user-interface thread without waiting for it; on that thread it runs at once.
    // A queued call that raises is ignored.
    static void Queue(std::function<void()> Method);

    // True on a thread started by a TThread.
    static bool InWorkerThread();
    // Number of TThread threads that are running (started and not yet past their object's destruction).
    static int RunningCount();

  protected:
    virtual void Execute() = 0;

  private:
    static void Run(TThread* Thread);

    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FStarted{false};
    std::atomic<bool> FFinished{false};
    std::mutex FStateLock;
    std::condition_variable FStateChanged;
};

// Runs the synchronized and queued calls that wait for the user-interface thread; when there are none, waits
// for one at most TimeoutMs. Returns true when it ran at least one. Call it on the user-interface thread.
bool CheckSynchronize(unsigned TimeoutMs = 0);

}  // namespace vcl
