#include "mainframe.h"
#include "messagebox.h"
#include "palaverdoc.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromLatin1(kApplicationTitle));

    CPalaverDoc doc;
    CMainFrame frame(doc);
    // The session connects as it starts: a missing config.txt shows its box,
    // a server that is not there leaves the window not connected.
    doc.OnNewDocument();
    frame.show();
    return app.exec();
}
