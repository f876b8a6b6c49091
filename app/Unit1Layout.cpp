// The window's stored layout: every component's settings, in creation order, and the wiring of its
// events to the window's handlers. Data only; what the handlers do is in Unit1.cpp.
#include "app/Unit1.h"

namespace {

using vcl::TFont;

struct Bounds {
    int left, top, width, height;
};

struct ButtonSettings {
    Bounds bounds;
    const char* caption;
    const char* hint;
    int tabOrder;
    bool enabled;
};

constexpr TFont kFormFont{"MS Sans Serif", 11, vcl::clWindowText};

// Form1: screen position, client size, dialog border, on top, the desktop's colour.
constexpr Bounds kForm{250, 174, 682, 234};

constexpr Bounds kImage1{568, 8, 81, 97};
constexpr char kLogo[] = "logo.bmp";

constexpr Bounds kLabel1{16, 16, 0, 13};  // sized to its text
constexpr TFont kLabel1Font{"MS Sans Serif", 11, vcl::clWhite};

constexpr ButtonSettings kConnecter{{544, 120, 129, 25},
                                    "Connexion au serveur",
                                    "Etablir la connexion avec le serveur de la Fédéraation",
                                    0,
                                    true};
constexpr Bounds kStatusBar1{0, 215, 682, 19};
constexpr char kStatusBar1Text[] = "Interface pour fournisseur d'accès 1&1";
constexpr ButtonSettings kSelection{
    {544, 152, 129, 25}, "Sélectionner un fichier", "Choisir un fichier sur votre ordinateur", 2, false};
constexpr ButtonSettings kQuitter{{544, 184, 129, 25}, "Quitter", "Quitter l'application", 3, true};

constexpr Bounds kMemo1{16, 32, 513, 169};
constexpr TFont kMemo1Font{"Terminal", 15, vcl::clBlack};
constexpr char kMemo1Hint[] = "Ensemble des fichiers présents sur le serveur de la Fédération";
constexpr int kMemo1TabOrder = 4;
constexpr const char* kMemo1Lines[] = {"Etablissez votre connexion Internet puis,",
                                       "Connectez-vous au serveur..."};

struct FtpSettings {
    int port, timeOut, reportLevel, vendor;
    bool parseList;
    int proxyPort;
    bool passive;
    NMFtp::TFirewallType firewallType;
    bool fwAuthenticate;
};
constexpr FtpSettings kNMFTP1{21, 9000, 0, 2411, false, 0, false, NMFtp::FTUser, false};

constexpr char kChoisirFichierFilter[] = "Tous les fichiers (*.*)|*.*";
constexpr char kChoisirFichierDefaultExt[] = "*.*";

vcl::TButton* MakeButton(TForm1* form, const ButtonSettings& s) {
    auto* button = new vcl::TButton(form);
    button->SetBounds(s.bounds.left, s.bounds.top, s.bounds.width, s.bounds.height);
    button->SetCaption(s.caption);
    button->SetHint(s.hint);
    button->SetShowHint(true);
    button->SetTabOrder(s.tabOrder);
    button->SetEnabled(s.enabled);
    return button;
}

}  // namespace

void TForm1::LoadLayout() {
    BeginLoading();
    SetBorderStyle(vcl::bsDialog);
    SetFormStyle(vcl::fsStayOnTop);
    SetBounds(kForm.left, kForm.top, kForm.width, kForm.height);
    SetColor(vcl::clBackground);
    SetFont(kFormFont);
    SetVisible(true);
    OnActivate = [this](vcl::TObject* Sender) { FormActivate(Sender); };
    OnClose = [this](vcl::TObject* Sender) { FormClose(Sender); };

    Image1 = new vcl::TImage(this);
    Image1->SetBounds(kImage1.left, kImage1.top, kImage1.width, kImage1.height);
    Image1->SetStretch(true);
    Image1->LoadPicture(kLogo);

    Label1 = new vcl::TLabel(this);
    Label1->SetBounds(kLabel1.left, kLabel1.top, kLabel1.width, kLabel1.height);
    Label1->SetFont(kLabel1Font);

    connecter = MakeButton(this, kConnecter);
    connecter->OnClick = [this](vcl::TObject* Sender) { connecterClick(Sender); };

    StatusBar1 = new vcl::TStatusBar(this);
    StatusBar1->SetBounds(kStatusBar1.left, kStatusBar1.top, kStatusBar1.width, kStatusBar1.height);
    StatusBar1->SetSimpleText(kStatusBar1Text);

    Selection = MakeButton(this, kSelection);
    Selection->OnClick = [this](vcl::TObject* Sender) { SelectionClick(Sender); };

    quitter = MakeButton(this, kQuitter);
    quitter->OnClick = [this](vcl::TObject* Sender) { quitterClick(Sender); };

    Memo1 = new vcl::TMemo(this);
    Memo1->SetBounds(kMemo1.left, kMemo1.top, kMemo1.width, kMemo1.height);
    Memo1->SetReadOnly(true);
    Memo1->SetScrollBars(vcl::ssBoth);
    Memo1->SetFont(kMemo1Font);
    Memo1->SetHint(kMemo1Hint);
    Memo1->SetShowHint(true);
    Memo1->SetTabOrder(kMemo1TabOrder);
    for (const char* line : kMemo1Lines) Memo1->Lines().Add(line);

    NMFTP1 = new NMFtp::TNMFTP(this);
    NMFTP1->BeginLoading();
    NMFTP1->SetPort(kNMFTP1.port);
    NMFTP1->SetTimeOut(kNMFTP1.timeOut);
    NMFTP1->SetReportLevel(kNMFTP1.reportLevel);
    NMFTP1->SetVendor(kNMFTP1.vendor);
    NMFTP1->SetParseList(kNMFTP1.parseList);
    NMFTP1->SetProxyPort(kNMFTP1.proxyPort);
    NMFTP1->SetPassive(kNMFTP1.passive);
    NMFTP1->SetFirewallType(kNMFTP1.firewallType);
    NMFTP1->SetFWAuthenticate(kNMFTP1.fwAuthenticate);
    NMFTP1->OnDisconnect = [this](vcl::TObject* Sender) { NMFTP1Disconnect(Sender); };
    NMFTP1->OnConnect = [this](vcl::TObject* Sender) { NMFTP1Connect(Sender); };
    NMFTP1->OnInvalidHost = [this](bool& Handled) { NMFTP1InvalidHost(Handled); };
    NMFTP1->OnHostResolved = [this](vcl::TComponent* Sender) { NMFTP1HostResolved(Sender); };
    NMFTP1->OnStatus = [this](vcl::TComponent* Sender, const std::string& Status) {
        NMFTP1Status(Sender, Status);
    };
    NMFTP1->OnConnectionFailed = [this](vcl::TObject* Sender) { NMFTP1ConnectionFailed(Sender); };
    NMFTP1->OnPacketRecvd = [this](vcl::TObject* Sender) { NMFTP1PacketRecvd(Sender); };
    NMFTP1->OnPacketSent = [this](vcl::TObject* Sender) { NMFTP1PacketSent(Sender); };
    NMFTP1->OnError = [this](vcl::TComponent* Sender, std::uint16_t Errno, const std::string& Errmsg) {
        NMFTP1Error(Sender, Errno, Errmsg);
    };
    NMFTP1->OnTransactionStart = [this](vcl::TObject* Sender) { NMFTP1TransactionStart(Sender); };
    NMFTP1->OnTransactionStop = [this](vcl::TObject* Sender) { NMFTP1TransactionStop(Sender); };
    NMFTP1->OnSuccess = [this](NMFtp::TCmdType Trans_Type) { NMFTP1Success(Trans_Type); };
    NMFTP1->OnListItem = [this](const std::string& Listing) { NMFTP1ListItem(Listing); };
    NMFTP1->OnUnSupportedFunction = [this](NMFtp::TCmdType Trans_Type) {
        NMFTP1UnSupportedFunction(Trans_Type);
    };
    NMFTP1->Loaded();

    ChoisirFichier = new vcl::TOpenDialog(this);
    ChoisirFichier->SetFilter(kChoisirFichierFilter);
    ChoisirFichier->SetDefaultExt(kChoisirFichierDefaultExt);

    ApplyTabOrder();
    Loaded();
}
