// The smallest Qt Widgets program with a window: what any client of the same
// toolkit costs at start, beside which murmurly-bench-client --startup
// measures the client.

#include <QApplication>
#include <QWidget>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QWidget window;
    window.show();
    return QApplication::exec();
}
