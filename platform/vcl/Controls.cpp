#include "platform/vcl/Controls.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QTextBlock>
#include <QTimer>

#include "platform/vcl/Forms.h"
#include "platform/vcl/SysUtils.h"
#include "platform/vcl/WidgetsSupport.h"

namespace vcl {

TControl::TControl(TComponent* AOwner) : TComponent(AOwner) {}

// The form frees its controls before its own window, so the control's window is still there.
TControl::~TControl() { delete FWidget; }

QWidget* TControl::ParentWindow() const {
    auto* form = dynamic_cast<TForm*>(Owner());
    return form ? form->Handle() : nullptr;
}

void TControl::Attach(QWidget* widget) {
    FWidget = widget;
    FWidget->setFocusPolicy(Qt::NoFocus);
    FWidget->show();
}

void TControl::SetBounds(int ALeft, int ATop, int AWidth, int AHeight) {
    FWidget->setGeometry(ALeft, ATop, AWidth, AHeight);
}
int TControl::Left() const { return FWidget->x(); }
int TControl::Top() const { return FWidget->y(); }
int TControl::Width() const { return FWidget->width(); }
int TControl::Height() const { return FWidget->height(); }
bool TControl::Enabled() const { return FWidget->isEnabled(); }
void TControl::SetEnabled(bool Value) { FWidget->setEnabled(Value); }
bool TControl::Visible() const { return !FWidget->isHidden(); }
void TControl::SetVisible(bool Value) { FWidget->setVisible(Value); }

void TControl::SetHint(const std::string& Value) {
    FHint = Value;
    ApplyHint();
}
void TControl::SetShowHint(bool Value) {
    FShowHint = Value;
    ApplyHint();
}
void TControl::ApplyHint() { FWidget->setToolTip(FShowHint ? detail::ToQString(FHint) : QString()); }

void TControl::SetFont(const TFont& Value) {
    FWidget->setFont(detail::ToQFont(Value));
    QPalette palette = FWidget->palette();
    const QColor color = detail::ToQColor(Value.Color);
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    FWidget->setPalette(palette);
}

TButton::TButton(TComponent* AOwner) : TControl(AOwner) {
    auto* button = new QPushButton(ParentWindow());
    QObject::connect(button, &QPushButton::clicked, button, [this] {
        detail::Guard(this, [this] {
            if (OnClick) OnClick(this);
        });
    });
    Attach(button);
}

void TButton::SetCaption(const std::string& Value) {
    FCaption = Value;
    static_cast<QPushButton*>(Handle())->setText(detail::ToQString(Value));
}

TLabel::TLabel(TComponent* AOwner) : TControl(AOwner) {
    auto* label = new QLabel(ParentWindow());
    label->setAutoFillBackground(false);
    Attach(label);
}

void TLabel::SetCaption(const std::string& Value) {
    FCaption = Value;
    auto* label = static_cast<QLabel*>(Handle());
    label->setText(detail::ToQString(Value));
    label->adjustSize();
}

namespace {
QPlainTextEdit* EditOf(TMemo& memo) { return static_cast<QPlainTextEdit*>(memo.Handle()); }
}  // namespace

void TMemoLines::Add(const std::string& S) { EditOf(FMemo)->appendPlainText(detail::ToQString(S)); }
void TMemoLines::Clear() { EditOf(FMemo)->clear(); }

int TMemoLines::Count() const {
    // An empty memo has one empty block and no line.
    QTextDocument* document = EditOf(FMemo)->document();
    return document->isEmpty() ? 0 : document->blockCount();
}

std::string TMemoLines::Strings(int Index) const {
    if (Index < 0 || Index >= Count())
        throw Exception("Index de liste hors limites (" + IntToStr(Index) + ")");
    return detail::FromQString(EditOf(FMemo)->document()->findBlockByNumber(Index).text());
}

TMemo::TMemo(TComponent* AOwner) : TControl(AOwner), FLines(*this) {
    auto* edit = new QPlainTextEdit(ParentWindow());
    edit->setLineWrapMode(QPlainTextEdit::NoWrap);
    edit->setUndoRedoEnabled(false);
    Attach(edit);
}

void TMemo::SetReadOnly(bool Value) { EditOf(*this)->setReadOnly(Value); }

void TMemo::SetScrollBars(TScrollStyle Value) {
    const bool horizontal = Value == ssHorizontal || Value == ssBoth;
    const bool vertical = Value == ssVertical || Value == ssBoth;
    EditOf(*this)->setHorizontalScrollBarPolicy(horizontal ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
    EditOf(*this)->setVerticalScrollBarPolicy(vertical ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
}

TImage::TImage(TComponent* AOwner) : TControl(AOwner) { Attach(new QLabel(ParentWindow())); }

void TImage::LoadPicture(const std::string& ResourceName) {
    // The format named from the extension: Qt then reads the picture without probing its image plugins.
    const std::size_t dot = ResourceName.rfind('.');
    const std::string format = dot == std::string::npos ? std::string() : ResourceName.substr(dot + 1);
    QPixmap picture(QString::fromStdString(":/" + ResourceName), format.empty() ? nullptr : format.c_str());
    if (picture.isNull()) throw Exception("Image introuvable : " + ResourceName);
    static_cast<QLabel*>(Handle())->setPixmap(picture);
}

void TImage::SetStretch(bool Value) { static_cast<QLabel*>(Handle())->setScaledContents(Value); }

namespace {
// The status bar's text field. A transfer changes the text for every piece it sends, thousands of times a
// second; drawing each one would cost the transfer most of its speed. The text is drawn at once when
// the last drawing is a frame (16 ms) old, else at the end of that frame: what the user sees lags by a
// frame at most.
class StatusText : public QLabel {
  public:
    explicit StatusText(QWidget* parent) : QLabel(parent) {
        FPending.setSingleShot(true);
        QObject::connect(&FPending, &QTimer::timeout, this, [this] { ShowNow(); });
    }
    // Converted to Qt's text only when drawn.
    void Show(const std::string& text) {
        FText = text;
        if (!FShown.isValid() || FShown.elapsed() >= kFrameMs)
            ShowNow();
        else if (!FPending.isActive())
            FPending.start(static_cast<int>(kFrameMs - FShown.elapsed()));
    }

  private:
    static constexpr qint64 kFrameMs = 16;
    void ShowNow() {
        FPending.stop();
        setText(detail::ToQString(FText));
        FShown.start();
    }
    std::string FText;
    QElapsedTimer FShown;
    QTimer FPending;
};
}  // namespace

TStatusBar::TStatusBar(TComponent* AOwner) : TControl(AOwner) {
    // One text area without panels: a label in a status bar (which keeps it, unlike a passing message).
    auto* bar = new QStatusBar(ParentWindow());
    bar->setSizeGripEnabled(false);
    bar->addWidget(new StatusText(bar), 1);
    // Button face, like every status bar, whatever the form's colour.
    QPalette palette = bar->palette();
    palette.setColor(QPalette::Window, detail::ToQColor(clBtnFace));
    bar->setPalette(palette);
    bar->setAutoFillBackground(true);
    Attach(bar);
}

void TStatusBar::SetSimpleText(const std::string& Value) {
    FSimpleText = Value;
    static_cast<StatusText*>(Handle()->findChild<QLabel*>())->Show(Value);
}

}  // namespace vcl
