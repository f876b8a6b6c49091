// Drives the real window in a test: makes Form1, clicks its buttons, and answers its modal dialogs
// (message boxes, the input box, the file dialog) as a user would, recording what each one showed.
#pragma once

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "app/Unit1.h"

namespace windowtest {

// What the user does when a file dialog or an input box opens.
struct FileAnswer {
    std::string path;                     // empty: Cancel
    std::function<void()> afterChoosing;  // runs once the dialog has accepted the file
};
struct InputAnswer {
    bool ok = false;
    std::string text;
};

class DialogAnswerer {
  public:
    DialogAnswerer() {
        FTimer.setInterval(10);
        QObject::connect(&FTimer, &QTimer::timeout, [this] { AnswerOpenDialog(); });
        FTimer.start();
    }

    std::deque<FileAnswer> files;
    std::deque<InputAnswer> inputs;
    // Every dialog that opened, in order: "box: <text>", "input: <caption> / <prompt>", "file".
    std::vector<std::string> shown;
    // The status text at the moment each dialog opened.
    std::vector<std::string> statusWhenShown;

  private:
    // Answers the open dialog; a dialog that is still open at the next tick (Qt's file dialog may not
    // take a selection at once) gets the same answer again.
    void AnswerOpenDialog() {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible()) return;
        if (modal != FAnswered) {
            FAnswered = modal;
            Record(modal);
        }
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            box->button(QMessageBox::Ok)->click();
        } else if (auto* input = qobject_cast<QInputDialog*>(modal)) {
            if (FInput.ok) {
                input->setTextValue(QString::fromStdString(FInput.text));
                input->accept();
            } else {
                input->reject();
            }
        } else if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
            if (FFile.path.empty()) {
                dialog->reject();
            } else {
                // The folder first, then the name in it: the dialog resolves a typed name in its folder.
                const QFileInfo chosen(QFile::decodeName(FFile.path.c_str()));
                // The name is typed into the dialog's name field (selectFile leaves a focused field alone).
                dialog->setDirectory(chosen.absolutePath());
                if (auto* nameField = dialog->findChild<QLineEdit*>("fileNameEdit"))
                    nameField->setText(chosen.fileName());
                else
                    dialog->selectFile(chosen.fileName());
                static_cast<QDialog*>(dialog)->accept();  // QFileDialog hides its accept()
                if (!dialog->isVisible() && FFile.afterChoosing) FFile.afterChoosing();
            }
        } else {
            modal->close();
        }
    }

    void Record(QWidget* modal) {
        statusWhenShown.push_back(Form1 && Form1->StatusBar1 ? Form1->StatusBar1->SimpleText() : "");
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            shown.push_back("box: " + box->text().toStdString());
        } else if (auto* input = qobject_cast<QInputDialog*>(modal)) {
            shown.push_back("input: " + input->windowTitle().toStdString() + " / " +
                            input->labelText().toStdString());
            FInput = inputs.empty() ? InputAnswer{} : inputs.front();
            if (!inputs.empty()) inputs.pop_front();
        } else if (qobject_cast<QFileDialog*>(modal)) {
            shown.push_back("file");
            FFile = files.empty() ? FileAnswer{} : files.front();
            if (!files.empty()) files.pop_front();
        } else {
            shown.push_back("unknown dialog");
        }
    }

    InputAnswer FInput;
    FileAnswer FFile;
    QTimer FTimer;
    QPointer<QWidget> FAnswered;
};

inline void Click(vcl::TButton* button) { QTest::mouseClick(button->Handle(), Qt::LeftButton); }

inline std::vector<std::string> MemoLines() {
    std::vector<std::string> lines;
    for (int i = 0; i < Form1->Memo1->Lines().Count(); ++i) lines.push_back(Form1->Memo1->Lines().Strings(i));
    return lines;
}

// Lets the window process what is pending (activation after a dialog, repaints), for at most ms.
inline void Settle(int ms = 100) { QTest::qWait(ms); }

}  // namespace windowtest
