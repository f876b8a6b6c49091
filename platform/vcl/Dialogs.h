// The modal dialogs that the window uses: the file-open dialog, the message box and the input box.
#pragma once

#include <string>

#include "platform/vcl/Classes.h"

namespace vcl {

class TOpenDialog : public TComponent {
  public:
    explicit TOpenDialog(TComponent* AOwner);
    // Entries "Description|mask;mask|Description|mask..."; "*.*" stands for every file.
    void SetFilter(const std::string& Value) { FFilter = Value; }
    const std::string& Filter() const { return FFilter; }
    // Added to a typed name that has no extension; a mask such as "*.*" adds nothing.
    void SetDefaultExt(const std::string& Value) { FDefaultExt = Value; }
    // Shows the dialog; true when the user chose a file.
    bool Execute();
    // The chosen file's full path, as the file system's bytes.
    const std::string& FileName() const { return FFileName; }

  private:
    std::string FFilter;
    std::string FDefaultExt;
    std::string FFileName;
};

// A message box with the text and an OK button.
void ShowMessage(const std::string& Msg);
// A box with a caption, a prompt and an edit field holding Value; true and the edited text in Value when
// the user pressed OK.
bool InputQuery(const std::string& ACaption, const std::string& APrompt, std::string& Value);

}  // namespace vcl
