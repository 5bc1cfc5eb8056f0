// The baseline of the launch benchmark: an empty QMainWindow, shown and reporting its first frame
// the same way as the application.

#include "FirstFrameReport.h"

#include <QApplication>
#include <QMainWindow>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Empty"));
    window.show();
    virelon::widgets::reportFirstFrame(window);
    return QApplication::exec();
}
