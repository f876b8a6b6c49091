// window_upload_bench: is the window still alive during a large upload, and what does it cost?
//
// Against the local vsftpd (scripts/servers/with-servers.sh exports FTP_VSFTPD_PORT, FTP_USER, FTP_PASS;
// every connection goes to 127.0.0.1), in active mode as the window is set, a file of --size-mib MiB
// (1024 unless set) goes up --runs times (3 unless set) by two roads, taken in turn:
//   window      Form1 itself: "Connexion au serveur", then "Sélectionner un fichier" with the file chosen
//               in the dialog; the upload runs inside the click, as for a user
//   component   a bare TNMFTP with no window: Connect, CWD memoire, CWD quil, TYPE L 8, Upload
// Each is timed from the upload's OnTransactionStart to its OnTransactionStop. During the window's upload
// the bench counts the paint events of the status bar and of the form, the distinct status texts, and the
// longest stretch without a paint of the status bar: a window that freezes shows a long stretch.
//
//   window_upload_bench [--size-mib N] [--runs N] [--local-dir DIR]
#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/Unit1.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

double Seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Counts paints of a widget and the longest gap between two of them while armed.
class PaintWatch : public QObject {
  public:
    explicit PaintWatch(QWidget* w) { w->installEventFilter(this); }
    bool armed = false;
    int paints = 0;
    double longestGap = 0;
    Clock::time_point last;
    bool eventFilter(QObject*, QEvent* e) override {
        if (armed && e->type() == QEvent::Paint) {
            const auto now = Clock::now();
            if (paints > 0) longestGap = std::max(longestGap, Seconds(last, now));
            last = now;
            ++paints;
        }
        return false;
    }
};

struct WindowRun {
    double seconds = 0;
    int statusPaints = 0, formPaints = 0, statusTexts = 0;
    double longestGap = 0;
};

// The upload's start and stop: the transaction in which packets are sent (the window also lists before
// and after it). Chained after whatever handlers the events already have.
struct UploadClock {
    Clock::time_point lastStart, start, stop;
    bool sending = false, done = false;
    void Attach(NMFtp::TNMFTP& ftp) {
        ftp.OnTransactionStart = [this, original = ftp.OnTransactionStart](vcl::TObject* s) {
            lastStart = Clock::now();
            if (original) original(s);
        };
        ftp.OnPacketSent = [this, original = ftp.OnPacketSent](vcl::TObject* s) {
            if (!sending) start = lastStart;
            sending = true;
            if (original) original(s);
        };
        ftp.OnTransactionStop = [this, original = ftp.OnTransactionStop](vcl::TObject* s) {
            if (sending && !done) stop = Clock::now(), done = true;
            if (original) original(s);
        };
    }
    double Seconds() const { return ::Seconds(start, stop); }
};

WindowRun RunWindow(const fs::path& file, int port) {
    vcl::Application->CreateForm(Form1);
    Form1->NMFTP1->SetHost("127.0.0.1");
    Form1->NMFTP1->SetPort(port);
    Form1->NMFTP1->SetUserID(Env("FTP_USER"));
    Form1->NMFTP1->SetPassword(Env("FTP_PASS"));
    Form1->NMFTP1->SetTimeOut(30000);
    QApplication::processEvents();

    PaintWatch statusWatch(Form1->StatusBar1->Handle()->findChild<QWidget*>());
    PaintWatch formWatch(Form1->Handle());
    std::vector<std::string> texts;
    Form1->NMFTP1->OnPacketSent = [&, original = Form1->NMFTP1->OnPacketSent](vcl::TObject* s) {
        original(s);
        statusWatch.armed = formWatch.armed = true;
        if (texts.empty() || texts.back() != Form1->StatusBar1->SimpleText())
            texts.push_back(Form1->StatusBar1->SimpleText());
    };
    UploadClock clock;
    clock.Attach(*Form1->NMFTP1);
    // The user picks the file in the dialog.
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
            // The folder first, then the name in it: the dialog resolves a typed name in its folder.
            dialog->setDirectory(QString::fromStdString(file.parent_path().string()));
            // Typed into the name field: selectFile leaves a field that has the focus alone.
            if (auto* nameField = dialog->findChild<QLineEdit*>("fileNameEdit"))
                nameField->setText(QString::fromStdString(file.filename().string()));
            static_cast<QDialog*>(dialog)->accept();
        }
    });
    answer.start(20);

    static_cast<QAbstractButton*>(Form1->connecter->Handle())->click();
    static_cast<QAbstractButton*>(Form1->Selection->Handle())->click();
    statusWatch.armed = formWatch.armed = false;
    WindowRun run{clock.Seconds(), statusWatch.paints, formWatch.paints, static_cast<int>(texts.size()),
                  statusWatch.longestGap};
    const bool ok = Form1->StatusBar1->SimpleText() == "Affichage actualisé";
    delete Form1;
    Form1 = nullptr;
    if (!ok) {
        std::fprintf(stderr, "the window's upload did not end in \"Affichage actualisé\"\n");
        std::exit(1);
    }
    return run;
}

double RunComponent(const fs::path& file, int port) {
    NMFtp::TNMFTP ftp(nullptr);
    ftp.SetHost("127.0.0.1");
    ftp.SetPort(port);
    ftp.SetUserID(Env("FTP_USER"));
    ftp.SetPassword(Env("FTP_PASS"));
    ftp.SetTimeOut(30000);
    UploadClock clock;
    clock.Attach(ftp);
    ftp.Connect();
    ftp.ChangeDir("memoire");
    ftp.ChangeDir("quil");
    ftp.Mode(3);
    ftp.Upload(file.string(), file.filename().string());
    ftp.Disconnect();
    return clock.Seconds();
}

}  // namespace

int main(int argc, char** argv) {
    int sizeMiB = 1024, runs = 3;
    fs::path dir = "/dev/shm";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--size-mib")) sizeMiB = std::clamp(std::atoi(argv[i + 1]), 1, 8192);
        if (!std::strcmp(argv[i], "--runs")) runs = std::clamp(std::atoi(argv[i + 1]), 1, 20);
        if (!std::strcmp(argv[i], "--local-dir")) dir = argv[i + 1];
    }
    const std::string port = Env("FTP_VSFTPD_PORT");
    if (port.empty() || Env("FTP_USER").empty()) {
        std::fprintf(stderr,
                     "run it through bench/window-bench.sh BUILD_DIR upload (it starts the servers)\n");
        return 2;
    }
    const fs::path file = dir / ("envoi-window-bench-" + std::to_string(::getpid()) + ".bin");
    {
        std::ofstream out(file, std::ios::binary);
        std::string block(1 << 20, '\0');
        for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 131 >> 3);
        for (int i = 0; i < sizeMiB; ++i) out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }

    vcl::Application->Initialize();
    std::vector<double> window, component, gaps;
    WindowRun last;
    for (int i = 0; i < runs; ++i) {
        last = RunWindow(file, std::stoi(port));
        window.push_back(last.seconds);
        gaps.push_back(last.longestGap);
        component.push_back(RunComponent(file, std::stoi(port)));
        std::printf(
            "run %d: window %.2f s (%d status paints, %d form paints, %d status texts, longest "
            "gap %.0f ms), component %.2f s\n",
            i + 1, last.seconds, last.statusPaints, last.formPaints, last.statusTexts, last.longestGap * 1000,
            component.back());
    }
    vcl::Application->Finalize();
    fs::remove(file);

    const double mb = static_cast<double>(sizeMiB) * (1 << 20) / 1e6;
    const double w = Median(window), c = Median(component);
    std::printf("%d MiB upload, active mode, medians of %d:\n", sizeMiB, runs);
    std::printf("  window    %8.0f MB/s\n  component %8.0f MB/s\n  ratio     %8.2fx (goal >= 0.90)\n", mb / w,
                mb / c, c / w);
    std::printf("  longest stretch without a status-bar paint during the window's upload: %.0f ms\n",
                Median(gaps) * 1000);
    return 0;
}
