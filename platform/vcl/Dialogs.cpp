#include "platform/vcl/Dialogs.h"

#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>

#include "platform/vcl/Forms.h"
#include "platform/vcl/WidgetsSupport.h"

namespace vcl {
namespace {

QWidget* MainWindow() {
    TForm* form = Application->MainForm();
    return form && form->Visible() ? form->Handle() : nullptr;
}

QString ProgramTitle() { return QStringLiteral("envoi-ftp"); }

// "Tous les fichiers (*.*)|*.*" to Qt's filters. The description shows as it is (the masks in
// parentheses after it are hidden); "*.*" means every file, also those without a dot.
QStringList QtFilters(const std::string& filter) {
    QStringList parts = detail::ToQString(filter).split('|');
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QStringList masks = parts[i + 1].split(';', Qt::SkipEmptyParts);
        for (QString& mask : masks) {
            mask = mask.trimmed();
            if (mask == "*.*") mask = "*";
        }
        filters << parts[i] + " (" + masks.join(' ') + ")";
    }
    return filters;
}

}  // namespace

namespace detail {
void ShowMessageBox(const std::string& text, bool isError) {
    // A server's reply line keeps its line end; the box shows the line without it.
    QString shown = ToQString(text);
    while (shown.endsWith('\n') || shown.endsWith('\r')) shown.chop(1);
    QMessageBox box(isError ? QMessageBox::Critical : QMessageBox::NoIcon, ProgramTitle(), shown,
                    QMessageBox::Ok, MainWindow());
    RunModal(box);
}
}  // namespace detail

TOpenDialog::TOpenDialog(TComponent* AOwner) : TComponent(AOwner) {}

bool TOpenDialog::Execute() {
    QFileDialog dialog(MainWindow());
    // Qt's own dialog: the same on every desktop, and one that a test can answer.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    const QStringList filters = QtFilters(FFilter);
    if (!filters.isEmpty()) dialog.setNameFilters(filters);
    if (!FDefaultExt.empty() && FDefaultExt.find_first_of("*?") == std::string::npos)
        dialog.setDefaultSuffix(detail::ToQString(FDefaultExt));
    if (!FFileName.empty()) dialog.selectFile(QFile::decodeName(FFileName.c_str()));
    if (detail::RunModal(dialog) != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
    FFileName = QFile::encodeName(dialog.selectedFiles().first()).toStdString();
    return true;
}

void ShowMessage(const std::string& Msg) { detail::ShowMessageBox(Msg, false); }

bool InputQuery(const std::string& ACaption, const std::string& APrompt, std::string& Value) {
    QInputDialog dialog(MainWindow());
    dialog.setInputMode(QInputDialog::TextInput);
    dialog.setWindowTitle(detail::ToQString(ACaption));
    dialog.setLabelText(detail::ToQString(APrompt));
    dialog.setTextValue(detail::ToQString(Value));
    if (detail::RunModal(dialog) != QDialog::Accepted) return false;
    Value = detail::FromQString(dialog.textValue());
    return true;
}

}  // namespace vcl
