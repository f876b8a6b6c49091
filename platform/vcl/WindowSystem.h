// Inside the platform: what the application object needs from the window system when the program has
// forms. The forms' code registers it, so a console program never starts a window system.
#pragma once

#include <QCoreApplication>
#include <memory>
#include <string>

namespace vcl::detail {

struct WindowSystem {
    std::unique_ptr<QCoreApplication> (*makeApplication)(int& argc, char** argv);
    // A modal message box with the text and an OK button.
    void (*showMessageBox)(const std::string& text);
};

// Set during static initialisation by the forms' code when it is linked in.
extern const WindowSystem* gWindowSystem;

}  // namespace vcl::detail
