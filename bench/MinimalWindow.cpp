// The peer of the start-up bench: the least Qt Widgets program that shows a window.
#include <QApplication>
#include <QWidget>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle("minimal");
    window.resize(682, 234);
    window.show();
    return app.exec();
}
