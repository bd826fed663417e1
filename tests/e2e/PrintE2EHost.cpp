// The wharf host with the echo plug-in and the window-driving plug-in of the
// printer and status-bar end-to-end test.
#include "E2EEchoPlugin.h"
#include "E2EWindowPlugin.h"
#include "app/WharfMain.h"

int main(int argc, char** argv) {
    return wharf::wharfMain(argc, argv, [] {
        wharf::e2e::E2EEcho::registerClass();
        wharf::e2e::E2EWindow::registerClass();
    });
}
