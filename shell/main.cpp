#include "palaverapp.h"

int main(int argc, char* argv[])
{
    CPalaverApp app(argc, argv);
    if (!app.InitInstance())
        return 1;
    return CPalaverApp::exec();
}
