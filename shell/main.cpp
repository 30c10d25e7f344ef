#include "commandline.h"
#include "palaverapp.h"

int main(int argc, char* argv[])
{
    if (const std::optional<int> status = RunInfoOption(argc, argv))
        return *status;
    CPalaverApp app(argc, argv);
    if (!app.InitInstance())
        return 1;
    if (app.HasEnded())
        return 0;
    return CPalaverApp::exec();
}
