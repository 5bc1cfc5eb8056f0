// The baseline of the launch benchmark: an empty QMainWindow, shown and reporting its first frame
// the same way as the application. Usage: launch_bench_empty_window [WIDTH HEIGHT]; the benchmark
// passes the application's window size, so that both fill and draw as many pixels.

#include "widgets/FirstFrameReport.h"

#include <QApplication>
#include <QMainWindow>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Empty"));
    const QStringList arguments = QApplication::arguments();
    if (arguments.size() == 3)
        window.resize(arguments[1].toInt(), arguments[2].toInt());
    window.show();
    virelon::widgets::reportFirstFrame(window);
    return QApplication::exec();
}
