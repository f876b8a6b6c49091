// The form over a Qt top-level widget, the window system's registration with the application object,
// and the exception boundary that every call from Qt into a handler passes.
#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QPointer>
#include <QWidget>
#include <map>

#include "platform/vcl/Controls.h"
#include "platform/vcl/Forms.h"
#include "platform/vcl/WidgetsSupport.h"
#include "platform/vcl/WindowSystem.h"

namespace vcl {
namespace {

// The last two windows of the program that became active: a form reports its activation only when it
// comes from none or from another of the program's windows, not back from another program.
QPointer<QWidget> gCurrentActive;
QPointer<QWidget> gPreviousActive;

class ActivationRecorder : public QObject {
  public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::WindowActivate && watched->isWidgetType()) {
            auto* widget = static_cast<QWidget*>(watched);
            if (widget->isWindow() && widget != gCurrentActive) {
                gPreviousActive = gCurrentActive;
                gCurrentActive = widget;
            }
        }
        return false;
    }
};

class FormWidget : public QWidget {
  public:
    explicit FormWidget(TForm& form) : FForm(form) {}

  protected:
    bool event(QEvent* event) override {
        if (event->type() == QEvent::WindowActivate && gPreviousActive != this) {
            // Reported once per activation: a second event for the same one finds the record updated.
            gPreviousActive = this;
            detail::Guard(&FForm, [this] { FForm.Activated(); });
        }
        return QWidget::event(event);
    }
    void closeEvent(QCloseEvent* event) override {
        detail::Guard(&FForm, [this] { FForm.Closing(); });
        event->accept();
    }

  private:
    TForm& FForm;
};

std::unique_ptr<QCoreApplication> MakeWidgetsApplication(int& argc, char** argv) {
    auto app = std::make_unique<QApplication>(argc, argv);
    // The main form's closing ends the program, not the last window's (a message box may be the last).
    QApplication::setQuitOnLastWindowClosed(false);
    app->installEventFilter(new ActivationRecorder(app.get()));
    return app;
}

void ShowExceptionBox(const std::string& text) { detail::ShowMessageBox(text, true); }

const detail::WindowSystem kWidgets{&MakeWidgetsApplication, &ShowExceptionBox};
// Registered when the forms' code is linked in, before main runs.
const bool kRegistered = (detail::gWindowSystem = &kWidgets, true);

}  // namespace

struct TForm::Window {
    explicit Window(TForm& form) : widget(new FormWidget(form)) {}
    QWidget* widget;
    TFormBorderStyle borderStyle = bsSizeable;
    TFormStyle formStyle = fsNormal;
    int clientWidth = 0;
    int clientHeight = 0;

    void ApplyFlags() {
        Qt::WindowFlags flags = Qt::Window;
        if (borderStyle == bsDialog)
            flags |= Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                     Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint;
        if (formStyle == fsStayOnTop) flags |= Qt::WindowStaysOnTopHint;
        const bool shown = widget->isVisible();
        widget->setWindowFlags(flags);
        if (shown) widget->show();
        ApplySize();
    }
    void ApplySize() {
        if (borderStyle == bsDialog)
            widget->setFixedSize(clientWidth, clientHeight);
        else
            widget->resize(clientWidth, clientHeight);
    }
};

// Here rather than beside the rest of the application object: only a program that makes forms links the
// window system in (a console program, a test of the components, never starts one).
void TApplication::FormCreated(TForm* form) {
    // A new main form starts a new run of the program.
    if (!FMainForm) {
        FMainForm = form;
        FTerminated = false;
    }
    if (form->Visible()) form->Show();
}

TForm::TForm(TComponent* AOwner) : TComponent(AOwner), FWindow(std::make_unique<Window>(*this)) {
    (void)kRegistered;
}

TForm::~TForm() {
    Destroying();
    // The controls' windows are children of the form's: they go first.
    DestroyComponents();
    delete FWindow->widget;
}

QWidget* TForm::Handle() const { return FWindow->widget; }

void TForm::SetCaption(const std::string& Value) {
    FCaption = Value;
    FWindow->widget->setWindowTitle(detail::ToQString(Value));
}

void TForm::SetBounds(int ALeft, int ATop, int AClientWidth, int AClientHeight) {
    FWindow->clientWidth = AClientWidth;
    FWindow->clientHeight = AClientHeight;
    FWindow->widget->move(ALeft, ATop);
    FWindow->ApplySize();
}

void TForm::SetBorderStyle(TFormBorderStyle Value) {
    FWindow->borderStyle = Value;
    FWindow->ApplyFlags();
}

void TForm::SetFormStyle(TFormStyle Value) {
    FWindow->formStyle = Value;
    FWindow->ApplyFlags();
}

void TForm::SetColor(TColor Value) {
    QPalette palette = FWindow->widget->palette();
    palette.setColor(QPalette::Window, detail::ToQColor(Value));
    FWindow->widget->setPalette(palette);
    FWindow->widget->setAutoFillBackground(true);
}

void TForm::SetFont(const TFont& Value) {
    FWindow->widget->setFont(detail::ToQFont(Value));
    QPalette palette = FWindow->widget->palette();
    palette.setColor(QPalette::WindowText, detail::ToQColor(Value.Color));
    FWindow->widget->setPalette(palette);
}

void TForm::SetVisible(bool Value) {
    FVisible = Value;
    // While the stored layout loads, the form only notes it; it shows once it is made.
    if (ComponentState() & csLoading) return;
    if (Value) {
        FWindow->widget->show();
        FWindow->widget->raise();
        FWindow->widget->activateWindow();
    } else {
        FWindow->widget->hide();
    }
}

void TForm::Close() { FWindow->widget->close(); }

void TForm::ApplyTabOrder() {
    std::vector<std::pair<int, QWidget*>> order;
    for (int i = 0; i < ComponentCount(); ++i) {
        if (auto* control = dynamic_cast<TControl*>(Components(i)); control && control->TabOrder() >= 0) {
            order.emplace_back(control->TabOrder(), control->Handle());
            control->Handle()->setFocusPolicy(Qt::StrongFocus);
        }
    }
    std::stable_sort(order.begin(), order.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t i = 1; i < order.size(); ++i) QWidget::setTabOrder(order[i - 1].second, order[i].second);
}

void TForm::Activated() {
    if (OnActivate) OnActivate(this);
}

void TForm::Closing() {
    FVisible = false;
    if (OnClose) OnClose(this);
    if (Application->MainForm() == this) Application->Terminate();
}

namespace detail {

QColor ToQColor(TColor color) {
    switch (color) {
        case clBackground:
            return QColor(0, 128, 128);  // the classic desktop's teal; Qt knows no desktop colour
        case clWindowText:
            return QApplication::palette().color(QPalette::WindowText);
        case clBtnFace:
            return QApplication::palette().color(QPalette::Button);
        default:
            return QColor(static_cast<int>(color & 0xFF), static_cast<int>((color >> 8) & 0xFF),
                          static_cast<int>((color >> 16) & 0xFF));
    }
}

QFont ToQFont(const TFont& font) {
    // Asked by their installed names first: a family that the system lacks costs a slow fallback search.
    static const std::map<std::string, QStringList> kInstalled = {
        {"MS Sans Serif", {"Liberation Sans", "DejaVu Sans"}},
        {"Terminal", {"DejaVu Sans Mono", "Liberation Mono"}},
    };
    QFont qfont;
    const auto known = kInstalled.find(font.Name);
    qfont.setFamilies(known != kInstalled.end() ? known->second
                                                : QStringList{QString::fromStdString(font.Name)});
    qfont.setPixelSize(font.Height);
    return qfont;
}

void Guard(TObject* Sender, const std::function<void()>& handler) {
    try {
        handler();
    } catch (...) {
        try {
            Application->HandleException(Sender);
        } catch (...) {
            // Showing the exception failed too; the program goes on regardless.
        }
    }
}

int RunModal(QDialog& dialog) {
    const int result = dialog.exec();
    // The window under the dialog becomes the active one again, as the window system would make it.
    if (TForm* form = Application->MainForm(); form && form->Visible()) {
        QWidget* window = form->Handle();
        if (QApplication::activeWindow() == window && gCurrentActive != window) {
            gPreviousActive = gCurrentActive;
            gCurrentActive = window;
            Guard(form, [form] { form->Activated(); });
        } else {
            window->activateWindow();
        }
    }
    return result;
}

}  // namespace detail
}  // namespace vcl
