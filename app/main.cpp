// envoi-ftp: puts a file by FTP into the organisation's folder.
#include "app/Unit1.h"

int main() {
    vcl::Application->Initialize();
    try {
        vcl::Application->CreateForm(Form1);
        vcl::Application->Run();
    } catch (...) {
        // An exception at start-up is shown like any other; the program then ends.
        vcl::Application->HandleException(nullptr);
    }
    vcl::Application->Finalize();
    return 0;
}
