// The wharf host with the phone's time limit for a background fetch cut to
// two seconds, for the end-to-end test of a fetch the page never finishes.
#include "app/WharfMain.h"
#include "platform/Application.h"

int main(int argc, char** argv) {
    return wharf::wharfMain(argc, argv, [] {
        wharf::platform::Application::shared().setBackgroundFetchTimeLimit(std::chrono::seconds(2));
    });
}
