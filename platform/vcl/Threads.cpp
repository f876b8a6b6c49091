#include "platform/vcl/Threads.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <algorithm>
#include <chrono>
#include <deque>
#include <exception>
#include <memory>
#include <thread>

namespace vcl {
namespace {

thread_local bool tWorker = false;
std::atomic<int> gRunning{0};

// A call waiting for the user-interface thread: a Synchronize waits for it (done, error); a queued call is
// owned by the queue and freed once it has run.
struct SyncRequest {
    const std::function<void()>* method;
    std::exception_ptr error;
    bool done = false;
    std::unique_ptr<std::function<void()>> queued;
};

std::mutex gSyncLock;
std::condition_variable gSyncArrived;
std::condition_variable gSyncDone;
std::deque<SyncRequest*> gSyncQueue;

}  // namespace

std::vector<TObject*>& TThreadList::LockList() {
    FLock.lock();
    return FList;
}

void TThreadList::UnlockList() { FLock.unlock(); }

void TThreadList::Add(TObject* Item) {
    std::lock_guard lock(FLock);
    if (std::find(FList.begin(), FList.end(), Item) == FList.end()) FList.push_back(Item);
}

void TThreadList::Remove(TObject* Item) {
    std::lock_guard lock(FLock);
    auto it = std::find(FList.begin(), FList.end(), Item);
    if (it != FList.end()) FList.erase(it);
}

void TThreadList::Clear() {
    std::lock_guard lock(FLock);
    FList.clear();
}

int TThreadList::Count() {
    std::lock_guard lock(FLock);
    return static_cast<int>(FList.size());
}

TThread::TThread(bool CreateSuspended) {
    if (!CreateSuspended) Start();
}

TThread::~TThread() {
    // A thread that frees itself runs this on its own thread, after Execute: nothing to wait for.
    if (tWorker && FFinished) return;
    if (FStarted && !FFinished) {
        Terminate();
        WaitFor();
    }
}

void TThread::Start() {
    if (FStarted.exchange(true)) return;
    ++gRunning;
    try {
        std::thread(Run, this).detach();
    } catch (...) {
        --gRunning;
        FStarted = false;
        throw;
    }
}

void TThread::Run(TThread* Thread) {
    tWorker = true;
    try {
        Thread->Execute();
    } catch (...) {
        // An exception that leaves Execute ends the thread and nothing else.
    }
    if (Thread->FreeOnTerminate) {
        Thread->FFinished = true;
        delete Thread;
    } else {
        std::lock_guard lock(Thread->FStateLock);
        Thread->FFinished = true;
        Thread->FStateChanged.notify_all();
        // Nothing of Thread is touched past this point: its owner may free it as soon as the lock is free.
    }
    --gRunning;
}

void TThread::WaitFor() {
    if (!FStarted) return;
    std::unique_lock lock(FStateLock);
    while (!FFinished) {
        if (tWorker) {
            FStateChanged.wait(lock);
        } else {
            // The thread may be waiting in Synchronize for this very thread.
            lock.unlock();
            CheckSynchronize(0);
            lock.lock();
            FStateChanged.wait_for(lock, std::chrono::milliseconds(5));
        }
    }
}

namespace {

// Adds the request and makes sure the user-interface thread will look at the queue. Call with gSyncLock
// held. Posted with the lock held: the posted call takes the lock first, so the thread sanitizer sees the
// posted event made before Qt frees it (Qt's own queue lock is invisible to it).
void EnqueueLocked(SyncRequest* request) {
    const bool first = gSyncQueue.empty();
    gSyncQueue.push_back(request);
    gSyncArrived.notify_all();
    // The user-interface thread's message loop (or its ProcessMessages) runs the queue.
    if (first) {
        if (QCoreApplication* app = QCoreApplication::instance())
            QMetaObject::invokeMethod(
                app, [] { CheckSynchronize(0); }, Qt::QueuedConnection);
    }
}

}  // namespace

void TThread::Synchronize(const std::function<void()>& Method) {
    if (!tWorker) {
        Method();
        return;
    }
    SyncRequest request{&Method, nullptr, false, nullptr};
    std::unique_lock lock(gSyncLock);
    EnqueueLocked(&request);
    gSyncDone.wait(lock, [&request] { return request.done; });
    if (request.error) std::rethrow_exception(request.error);
}

void TThread::Queue(std::function<void()> Method) {
    if (!tWorker) {
        Method();
        return;
    }
    auto request = std::make_unique<SyncRequest>();
    request->queued = std::make_unique<std::function<void()>>(std::move(Method));
    request->method = request->queued.get();
    std::lock_guard lock(gSyncLock);
    EnqueueLocked(request.release());
}

bool TThread::InWorkerThread() { return tWorker; }

int TThread::RunningCount() { return gRunning; }

bool CheckSynchronize(unsigned TimeoutMs) {
    std::deque<SyncRequest*> work;
    {
        std::unique_lock lock(gSyncLock);
        if (gSyncQueue.empty() && TimeoutMs > 0)
            gSyncArrived.wait_for(lock, std::chrono::milliseconds(TimeoutMs),
                                  [] { return !gSyncQueue.empty(); });
        work.swap(gSyncQueue);
    }
    if (work.empty()) return false;
    for (SyncRequest* request : work) {
        try {
            (*request->method)();
        } catch (...) {
            request->error = std::current_exception();
        }
    }
    {
        std::lock_guard lock(gSyncLock);
        for (SyncRequest*& request : work) {
            if (request->queued) {
                delete request;  // nobody waits for a queued call
                request = nullptr;
            } else {
                request->done = true;
            }
        }
    }
    gSyncDone.notify_all();
    return true;
}

}  // namespace vcl
