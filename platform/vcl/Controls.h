// The controls that a form holds: push button, label, memo, image and status bar. Each one is a
// component owned by its form and shown inside the form's window.
#pragma once

#include <string>

#include "platform/vcl/Classes.h"
#include "platform/vcl/Graphics.h"

class QWidget;

namespace vcl {

class TControl : public TComponent {
  public:
    ~TControl() override;

    void SetBounds(int ALeft, int ATop, int AWidth, int AHeight);
    int Left() const;
    int Top() const;
    int Width() const;
    int Height() const;
    bool Enabled() const;
    void SetEnabled(bool Value);
    bool Visible() const;
    void SetVisible(bool Value);
    const std::string& Hint() const { return FHint; }
    void SetHint(const std::string& Value);
    // The hint shows as a tool tip only while ShowHint is set.
    void SetShowHint(bool Value);
    void SetFont(const TFont& Value);
    // Position in the form's keyboard focus order; -1 when the control takes no part in it.
    int TabOrder() const { return FTabOrder; }
    void SetTabOrder(int Value) { FTabOrder = Value; }

    // The control's window, a child of its form's window.
    QWidget* Handle() const { return FWidget; }

  protected:
    // The owner must be a form: the control's window becomes a child of the form's window.
    explicit TControl(TComponent* AOwner);
    QWidget* ParentWindow() const;
    void Attach(QWidget* widget);

  private:
    void ApplyHint();

    QWidget* FWidget = nullptr;
    std::string FHint;
    bool FShowHint = false;
    int FTabOrder = -1;
};

class TButton : public TControl {
  public:
    explicit TButton(TComponent* AOwner);
    const std::string& Caption() const { return FCaption; }
    void SetCaption(const std::string& Value);
    TNotifyEvent OnClick;

  private:
    std::string FCaption;
};

class TLabel : public TControl {
  public:
    explicit TLabel(TComponent* AOwner);
    const std::string& Caption() const { return FCaption; }
    // The label takes the size of its text.
    void SetCaption(const std::string& Value);

  private:
    std::string FCaption;
};

enum TScrollStyle { ssNone, ssHorizontal, ssVertical, ssBoth };

class TMemo;

// The lines of a memo. Texts are bytes: shown as UTF-8 when they are valid UTF-8, else as Windows-1252.
class TMemoLines {
  public:
    explicit TMemoLines(TMemo& memo) : FMemo(memo) {}
    void Add(const std::string& S);
    void Clear();
    int Count() const;
    // The line as shown, in UTF-8.
    std::string Strings(int Index) const;

  private:
    TMemo& FMemo;
};

class TMemo : public TControl {
  public:
    explicit TMemo(TComponent* AOwner);
    void SetReadOnly(bool Value);
    void SetScrollBars(TScrollStyle Value);
    TMemoLines& Lines() { return FLines; }

  private:
    TMemoLines FLines;
};

class TImage : public TControl {
  public:
    explicit TImage(TComponent* AOwner);
    // Loads the picture from a resource built into the program; Exception when there is none.
    void LoadPicture(const std::string& ResourceName);
    void SetStretch(bool Value);
};

class TStatusBar : public TControl {
  public:
    explicit TStatusBar(TComponent* AOwner);
    const std::string& SimpleText() const { return FSimpleText; }
    void SetSimpleText(const std::string& Value);

  private:
    std::string FSimpleText;
};

}  // namespace vcl
