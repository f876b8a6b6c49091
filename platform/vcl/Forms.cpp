#include "platform/vcl/Forms.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QTimer>
#include <exception>
#include <iostream>

#include "platform/vcl/SysUtils.h"
#include "platform/win32/Windows.h"

namespace vcl {
namespace {
TApplication gApplication;
int gArgc = 1;
char gArg0[] = "envoi-ftp";
char* gArgv[] = {gArg0, nullptr};
}  // namespace

TApplication* Application = &gApplication;

namespace {
// The timer that bounds an idle wait, one per thread that waits.
thread_local std::unique_ptr<QTimer> tWake;
}  // namespace

struct TApplication::Loop {
    std::unique_ptr<QCoreApplication> ownApp;
};

TApplication::TApplication() : FLoop(std::make_unique<Loop>()) {}
TApplication::~TApplication() = default;

void TApplication::Initialize() {
    if (!QCoreApplication::instance()) FLoop->ownApp = std::make_unique<QCoreApplication>(gArgc, gArgv);
}

void TApplication::Finalize() {
    tWake.reset();
    FLoop->ownApp.reset();
}

void TApplication::ProcessMessages() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

void TApplication::ProcessMessagesWaiting(unsigned maxWaitMs) {
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

int TApplication::Run() { return QCoreApplication::exec(); }

void TApplication::Terminate() { QCoreApplication::quit(); }

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
    else
        std::cerr << message << std::endl;
}

}  // namespace vcl
