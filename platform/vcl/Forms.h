// The application object: message processing for the components' waits and the last stop of uncaught
// exceptions.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/vcl/Classes.h"

namespace vcl {

class TApplication : public TObject {
  public:
    TApplication();
    ~TApplication() override;

    // Makes the application's event loop (a console one unless a window-system one exists already).
    void Initialize();
    // Frees the event loop made by Initialize; call it before leaving main.
    void Finalize();
    // Processes every message pending for the calling thread, then returns.
    void ProcessMessages();
    // Processes pending messages; when there were none, waits until one arrives, a timer is due or
    // maxWaitMs pass, and processes what came. Lets a wait idle without burning the processor.
    void ProcessMessagesWaiting(unsigned maxWaitMs);
    // Runs the message loop until Terminate.
    int Run();
    void Terminate();

    // Called inside a catch block: hands the current exception to OnException, or shows it.
    void HandleException(TObject* Sender);
    void ShowException(const std::string& message);

    std::function<void(TObject* Sender, const std::string& message)> OnException;
    // How ShowException displays a message; a console application writes it to standard error.
    std::function<void(const std::string& message)> OnShowException;

  private:
    struct Loop;
    std::unique_ptr<Loop> FLoop;
};

extern TApplication* Application;

}  // namespace vcl
