// Inside the platform: what the form, the controls and the dialogs share over Qt Widgets.
#pragma once

#include <QColor>
#include <QFont>
#include <QString>
#include <functional>
#include <string>

#include "platform/vcl/Classes.h"
#include "platform/vcl/Graphics.h"

class QDialog;

namespace vcl::detail {

// Bytes to text: UTF-8 when they are valid UTF-8, else Windows-1252 (what older servers send).
QString ToQString(const std::string& bytes);
// Text to UTF-8 bytes.
std::string FromQString(const QString& text);

QColor ToQColor(TColor color);
QFont ToQFont(const TFont& font);

// Every call from Qt into a handler goes through here: an exception reaches the application object,
// which shows it, and never crosses Qt.
void Guard(TObject* Sender, const std::function<void()>& handler);

// A modal message box with the program's title, the text and an OK button; an error icon for exceptions.
void ShowMessageBox(const std::string& text, bool isError);

// Runs a modal dialog; afterwards the main form is the active window again.
int RunModal(QDialog& dialog);

}  // namespace vcl::detail
