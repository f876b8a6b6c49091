// The upload tool's one window: connect to the fixed server and folder, list its files, send a file.
#pragma once

#include <string>

#include "net/ftp/NMFtp.h"
#include "platform/vcl/Controls.h"
#include "platform/vcl/Dialogs.h"
#include "platform/vcl/Forms.h"

class TForm1 : public vcl::TForm {
  public:
    explicit TForm1(vcl::TComponent* Owner);
    ~TForm1() override;

    // The components, in creation order; a field is null once its component is gone.
    vcl::TImage* Image1 = nullptr;
    vcl::TLabel* Label1 = nullptr;
    vcl::TButton* connecter = nullptr;
    vcl::TStatusBar* StatusBar1 = nullptr;
    vcl::TButton* Selection = nullptr;
    vcl::TButton* quitter = nullptr;
    vcl::TMemo* Memo1 = nullptr;
    NMFtp::TNMFTP* NMFTP1 = nullptr;
    vcl::TOpenDialog* ChoisirFichier = nullptr;

    // Handlers, wired by the stored layout.
    void FormActivate(vcl::TObject* Sender);
    void FormClose(vcl::TObject* Sender);
    void connecterClick(vcl::TObject* Sender);
    void SelectionClick(vcl::TObject* Sender);
    void quitterClick(vcl::TObject* Sender);
    void NMFTP1Connect(vcl::TObject* Sender);
    void NMFTP1ListItem(const std::string& Listing);
    void NMFTP1Success(NMFtp::TCmdType Trans_Type);
    void NMFTP1UnSupportedFunction(NMFtp::TCmdType Trans_Type);
    void NMFTP1TransactionStart(vcl::TObject* Sender);
    void NMFTP1TransactionStop(vcl::TObject* Sender);
    void NMFTP1PacketSent(vcl::TObject* Sender);
    void NMFTP1PacketRecvd(vcl::TObject* Sender);
    void NMFTP1HostResolved(vcl::TComponent* Sender);
    void NMFTP1InvalidHost(bool& Handled);
    void NMFTP1ConnectionFailed(vcl::TObject* Sender);
    void NMFTP1Error(vcl::TComponent* Sender, std::uint16_t Errno, const std::string& Errmsg);
    void NMFTP1Disconnect(vcl::TObject* Sender);
    void NMFTP1Status(vcl::TComponent* Sender, const std::string& Status);

  protected:
    void Notification(vcl::TComponent* AComponent, vcl::TOperation Operation) override;

  private:
    // Builds the components from the stored layout and wires their events (Unit1Layout.cpp).
    void LoadLayout();
    void SetStatus(const std::string& Text);
};

extern TForm1* Form1;

// The bare file name: the text after the last "\" or "/" (the whole path when it holds neither).
std::string BareFileName(const std::string& Path);
