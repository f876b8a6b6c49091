#include "app/Unit1.h"

#include "app/Settings.h"
#include "platform/vcl/SysUtils.h"

using NMFtp::TCmdType;
using vcl::IntToStr;

TForm1* Form1 = nullptr;

namespace {

// The folder that the window works in, under "memoire".
constexpr char kFolder[] = "quil";

struct OperationTexts {
    const char* success;      // status text; null leaves it unchanged
    const char* unsupported;  // message box; null shows none
};

OperationTexts TextsOf(TCmdType Trans_Type) {
    switch (Trans_Type) {
        case NMFtp::cmdChangeDir:
            return {"ChangeDir success", "ChangeDir not supported"};
        case NMFtp::cmdMakeDir:
            return {"MakeDir success", "MakeDir not supported"};
        case NMFtp::cmdDelete:
            return {"Delete success", "Delete not supported"};
        case NMFtp::cmdRemoveDir:
            return {"RemoveDir success", "RemoveDir not supported"};
        case NMFtp::cmdList:
            return {"Affichage actualisé", "List not supported"};
        case NMFtp::cmdRename:
            return {"Rename success", "Rename not supported"};
        case NMFtp::cmdUpRestore:
            return {"UploadRestore success", "UploadRestore not supported"};
        case NMFtp::cmdDownRestore:
            return {"DownloadRestore success", "DownloadRestore not supported"};
        case NMFtp::cmdDownload:
            return {"Download success", "Download not supported"};
        case NMFtp::cmdUpload:
            return {"Transmission réussie", "Upload not supported"};
        case NMFtp::cmdAppend:
            return {"UploadAppend success", "UploadAppend not supported"};
        case NMFtp::cmdReInit:
            return {"ReInit success", "ReInit not supported"};
        case NMFtp::cmdAllocate:
            return {"Allocate success", "Allocate not supported"};
        case NMFtp::cmdNList:
            return {"Affichage correct", "NList not supported"};
        case NMFtp::cmdDoCommand:
            return {"DoCommand success", "DoCommand not supported"};
        case NMFtp::cmdCurrentDir:
            return {nullptr, nullptr};
    }
    return {nullptr, nullptr};
}

}  // namespace

std::string BareFileName(const std::string& Path) {
    const std::size_t separator = Path.find_last_of("\\/");
    return separator == std::string::npos ? Path : Path.substr(separator + 1);
}

TForm1::TForm1(vcl::TComponent* Owner) : vcl::TForm(Owner) {
    LoadLayout();
    NMFTP1->SetHost(Settings::kHost);
    NMFTP1->SetPort(Settings::kPort);
    NMFTP1->SetUserID(Settings::kUserID);
    NMFTP1->SetPassword(Settings::kPassword);
}

// The components go while the window is whole: the FTP client's last events still find their handlers.
TForm1::~TForm1() {
    Destroying();
    DestroyComponents();
}

void TForm1::Notification(vcl::TComponent* AComponent, vcl::TOperation Operation) {
    vcl::TForm::Notification(AComponent, Operation);
    if (Operation != vcl::opRemove) return;
    if (AComponent == Image1) Image1 = nullptr;
    if (AComponent == Label1) Label1 = nullptr;
    if (AComponent == connecter) connecter = nullptr;
    if (AComponent == StatusBar1) StatusBar1 = nullptr;
    if (AComponent == Selection) Selection = nullptr;
    if (AComponent == quitter) quitter = nullptr;
    if (AComponent == Memo1) Memo1 = nullptr;
    if (AComponent == NMFTP1) NMFTP1 = nullptr;
    if (AComponent == ChoisirFichier) ChoisirFichier = nullptr;
}

void TForm1::SetStatus(const std::string& Text) {
    if (StatusBar1) StatusBar1->SetSimpleText(Text);
}

void TForm1::FormActivate(vcl::TObject*) {
    SetCaption(std::string("Chargement des fichiers de la ") + kFolder + " sur le serveur " + NMFTP1->Host());
    SetStatus("En attente de commande...");
}

// Closing the window stops what the FTP client is doing, so that a transfer does not go on unseen; the
// client's destructor then closes the connection without "QUIT".
void TForm1::FormClose(vcl::TObject*) {
    if (!NMFTP1) return;
    NMFTP1->Abort();
    NMFTP1->Cancel();
}

void TForm1::connecterClick(vcl::TObject*) {
    // Nothing enables it again: after a failed connection the program is started anew.
    connecter->SetEnabled(false);
    Memo1->Lines().Clear();
    SetStatus("Connexion en cours...");
    NMFTP1->Connect();
}

void TForm1::NMFTP1Connect(vcl::TObject*) {
    SetStatus("Connecté avec le serveur " + NMFTP1->Host());
    NMFTP1->ChangeDir("memoire");
    NMFTP1->ChangeDir(kFolder);
    Selection->SetEnabled(true);
    Memo1->Lines().Clear();
    Label1->SetCaption("Liste des fichiers présents sur le serveur");
    NMFTP1->List();
}

void TForm1::NMFTP1ListItem(const std::string& Listing) { Memo1->Lines().Add(Listing); }

void TForm1::SelectionClick(vcl::TObject*) {
    Selection->SetEnabled(false);
    // "TYPE L 8"; its success enables the button again.
    NMFTP1->Mode(3);
    if (!ChoisirFichier->Execute()) return;
    const std::string path = ChoisirFichier->FileName();
    Selection->SetEnabled(false);
    NMFTP1->Upload(path, BareFileName(path));
}

void TForm1::NMFTP1Success(TCmdType Trans_Type) {
    if (const char* text = TextsOf(Trans_Type).success) SetStatus(text);
    if (Trans_Type == NMFtp::cmdUpload) {
        Memo1->Lines().Clear();
        NMFTP1->List();
    }
    Selection->SetEnabled(true);
}

void TForm1::NMFTP1UnSupportedFunction(TCmdType Trans_Type) {
    if (const char* text = TextsOf(Trans_Type).unsupported) vcl::ShowMessage(text);
}

void TForm1::NMFTP1TransactionStart(vcl::TObject*) { SetStatus("Début de transmission"); }

void TForm1::NMFTP1TransactionStop(vcl::TObject*) { SetStatus("Chargement terminé"); }

void TForm1::NMFTP1PacketSent(vcl::TObject*) {
    SetStatus("Il y a " + IntToStr(NMFTP1->GetBytesSent()) + " octets envoyés sur " +
              IntToStr(NMFTP1->BytesTotal()));
}

void TForm1::NMFTP1PacketRecvd(vcl::TObject*) {
    SetStatus(IntToStr(NMFTP1->GetBytesRcvd()) + " bytes of " + IntToStr(NMFTP1->BytesTotal()) + " received");
}

void TForm1::NMFTP1HostResolved(vcl::TComponent*) { SetStatus("Serveur trouvé"); }

void TForm1::NMFTP1InvalidHost(bool& Handled) {
    std::string host;
    if (!vcl::InputQuery("Hôte invalide", "Please Choose another host", host)) return;
    NMFTP1->SetHost(host);
    Handled = true;
}

void TForm1::NMFTP1ConnectionFailed(vcl::TObject*) { vcl::ShowMessage("Echec de la connexion"); }

void TForm1::NMFTP1Error(vcl::TComponent*, std::uint16_t Errno, const std::string& Errmsg) {
    vcl::ShowMessage("Error " + IntToStr(Errno) + ": " + Errmsg);
}

void TForm1::NMFTP1Disconnect(vcl::TObject*) { SetStatus("Serveur Déconnecté"); }

void TForm1::NMFTP1Status(vcl::TComponent*, const std::string& Status) { SetStatus(Status); }

void TForm1::quitterClick(vcl::TObject*) { Close(); }
