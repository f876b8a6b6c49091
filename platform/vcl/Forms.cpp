#include "platform/vcl/Forms.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QTimer>
#include <exception>
#include <iostream>

#include "platform/vcl/SysUtils.h"
#include "platform/vcl/Threads.h"
#include "platform/vcl/WindowSystem.h"
#include "platform/win32/Windows.h"

namespace vcl {
namespace {
TApplication gApplication;
int gArgc = 1;
char gArg0[] = "envoi-ftp";
char* gArgv[] = {gArg0, nullptr};
}  // namespace

TApplication* Application = &gApplication;

namespace detail {
const WindowSystem* gWindowSystem = nullptr;
}

namespace {
// The timer that bounds an idle wait, one per thread that waits.
thread_local std::unique_ptr<QTimer> tWake;
}  // namespace

struct TApplication::Loop {
    std::unique_ptr<QCoreApplication> ownApp;
};

TApplication::TApplication() : TComponent(nullptr), FLoop(std::make_unique<Loop>()) {}
TApplication::~TApplication() = default;

void TApplication::Initialize() {
    FTerminated = false;
    if (QCoreApplication::instance()) return;
    if (detail::gWindowSystem)
        FLoop->ownApp = detail::gWindowSystem->makeApplication(gArgc, gArgv);
    else
        FLoop->ownApp = std::make_unique<QCoreApplication>(gArgc, gArgv);
}

void TApplication::Finalize() {
    DestroyComponents();
    tWake.reset();
    FLoop->ownApp.reset();
}

void TApplication::Notification(TComponent* AComponent, TOperation Operation) {
    if (Operation == opRemove && AComponent == FMainForm) FMainForm = nullptr;
}

namespace {
// On a worker thread: the count of deliveries anywhere at this thread's last look.
thread_local std::uint64_t tSeenDeliveries = 0;
}  // namespace

// A worker thread has no messages of its own: its components' windows belong to the user-interface thread.
void TApplication::ProcessMessages() {
    if (TThread::InWorkerThread()) return;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TApplication::ProcessMessagesWaiting(unsigned maxWaitMs) {
    if (TThread::InWorkerThread()) {
        // Idles until the user-interface thread has handled a message (a notification for this thread's
        // component sets its flags there) or the time is up.
        tSeenDeliveries = win32::WaitForDeliveryAll(tSeenDeliveries, maxWaitMs);
        return;
    }
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    if (!dispatcher) {
        win32::Sleep(maxWaitMs);
        return;
    }
    const auto before = win32::DeliveredMessageCount();
    const bool handled = dispatcher->processEvents(QEventLoop::AllEvents);
    if (handled || win32::DeliveredMessageCount() != before || maxWaitMs == 0) return;
    // A timer of this thread bounds the wait; a posted message or any due timer ends it sooner.
    if (!tWake) {
        tWake = std::make_unique<QTimer>();
        tWake->setSingleShot(true);
        tWake->setTimerType(Qt::PreciseTimer);
    }
    tWake->start(static_cast<int>(maxWaitMs));
    dispatcher->processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    tWake->stop();
    // Posted messages that woke the wait are delivered now (some dispatchers leave them for the next pass).
    dispatcher->processEvents(QEventLoop::AllEvents);
}

int TApplication::Run() {
    // A program whose main form closed before the loop started has nothing left to run.
    if (FTerminated) return 0;
    return QCoreApplication::exec();
}

void TApplication::Terminate() {
    FTerminated = true;
    QCoreApplication::quit();
}

void TApplication::HandleException(TObject* Sender) {
    std::string message;
    try {
        throw;
    } catch (const Exception& e) {
        message = e.Message();
    } catch (const std::exception& e) {
        message = e.what();
    } catch (...) {
        message = "Exception inconnue";
    }
    if (OnException)
        OnException(Sender, message);
    else
        ShowException(message);
}

void TApplication::ShowException(const std::string& message) {
    if (OnShowException)
        OnShowException(message);
    else if (detail::gWindowSystem && FLoop->ownApp && !FTerminated)
        detail::gWindowSystem->showMessageBox(message);
    else
        std::cerr << message << std::endl;
}

}  // namespace vcl
