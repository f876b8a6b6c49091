// The application object (message processing for the components' waits, the message loop, the last stop
// of uncaught exceptions) and the form, a top-level window that owns its controls.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/vcl/Classes.h"
#include "platform/vcl/Graphics.h"

class QWidget;

namespace vcl {

class TForm;

class TApplication : public TComponent {
  public:
    TApplication();
    ~TApplication() override;

    // Makes the application's event loop: a window-system one when the program has forms, else a console
    // one (unless one exists already).
    void Initialize();
    // Frees the forms and the event loop made by Initialize; call it before leaving main.
    void Finalize();
    // Makes a form owned by the application; the first one made is the main form. A visible form shows.
    template <class TFormClass>
    void CreateForm(TFormClass*& Reference) {
        Reference = new TFormClass(this);
        FormCreated(Reference);
    }
    TForm* MainForm() const { return FMainForm; }
    // Processes every message pending for the calling thread, then returns.
    void ProcessMessages();
    // Processes pending messages; when there were none, waits until one arrives, a timer is due or
    // maxWaitMs pass, and processes what came. Lets a wait idle without burning the processor.
    void ProcessMessagesWaiting(unsigned maxWaitMs);
    // Runs the message loop until Terminate (the main form's closing calls it).
    int Run();
    void Terminate();
    bool Terminated() const { return FTerminated; }

    // Called inside a catch block: hands the current exception to OnException, or shows it.
    void HandleException(TObject* Sender);
    // Shows an exception's message: in a message box while the program has a window on screen, else on
    // standard error (a console program, or one whose main window has closed).
    void ShowException(const std::string& message);

    std::function<void(TObject* Sender, const std::string& message)> OnException;
    // Replaces how ShowException displays a message.
    std::function<void(const std::string& message)> OnShowException;

  protected:
    void Notification(TComponent* AComponent, TOperation Operation) override;

  private:
    void FormCreated(TForm* form);

    struct Loop;
    std::unique_ptr<Loop> FLoop;
    TForm* FMainForm = nullptr;
    bool FTerminated = false;
};

extern TApplication* Application;

enum TFormBorderStyle { bsSizeable, bsDialog };
enum TFormStyle { fsNormal, fsStayOnTop };

// A top-level window. Its controls are the components it owns; positions are client coordinates.
class TForm : public TComponent {
  public:
    explicit TForm(TComponent* AOwner);
    ~TForm() override;

    const std::string& Caption() const { return FCaption; }
    void SetCaption(const std::string& Value);
    // Screen position of the window and the size of its client area.
    void SetBounds(int ALeft, int ATop, int AClientWidth, int AClientHeight);
    void SetBorderStyle(TFormBorderStyle Value);
    void SetFormStyle(TFormStyle Value);
    void SetColor(TColor Value);
    void SetFont(const TFont& Value);
    bool Visible() const { return FVisible; }
    void SetVisible(bool Value);
    void Show() { SetVisible(true); }
    // Closes the window; closing the main form ends the application's message loop.
    void Close();
    // Gives the keyboard focus order: the controls with a tab order, lowest first.
    void ApplyTabOrder();

    // The window becomes the application's active window (from none, or from another of its windows).
    TNotifyEvent OnActivate;
    // The window is closing.
    TNotifyEvent OnClose;

    // The window itself (its controls are its children).
    QWidget* Handle() const;

    // The activation and closing seen by the window, handed on to the events.
    void Activated();
    void Closing();

  private:
    struct Window;
    std::unique_ptr<Window> FWindow;
    std::string FCaption;
    bool FVisible = false;
};

}  // namespace vcl
