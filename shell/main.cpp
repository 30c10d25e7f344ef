#include "palaverapp.h"

int main(int argc, char* argv[])
{
    CPalaverApp app(argc, argv);
    if (!app.InitInstance())
        return 1;
    if (app.HasEnded())
        return 0;
    return CPalaverApp::exec();
}
