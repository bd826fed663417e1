// The wharf host with the end-to-end tests' echo plug-in registered.
#include "E2EEchoPlugin.h"
#include "app/WharfMain.h"

int main(int argc, char** argv) {
    return wharf::wharfMain(argc, argv, [] { wharf::e2e::E2EEcho::registerClass(); });
}
