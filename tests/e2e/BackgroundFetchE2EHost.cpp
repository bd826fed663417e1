// The wharf host with the phone's time limit for a background fetch cut to
// two seconds, for the end-to-end tests of a fetch the page never finishes.
// With WHARF_E2E_SHOW_WINDOW set, the window comes on screen half a second
// into the launch, as when the user brings the application up.
#include <gtk/gtk.h>

#include <chrono>
#include <cstdlib>

#include "app/WharfMain.h"
#include "platform/base/Log.h"
#include "platform/device/Application.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/dispatch/RunLoop.h"

namespace {

void showWindowSoon() {
    using namespace wharf::platform;
    // Kept for the life of the process.
    static auto* launched = new ObserverToken(NotificationCenter::defaultCenter().addObserver(
        kUIApplicationDidFinishLaunchingNotification, nullptr, [](const Notification&) {
            RunLoop::performAfter(std::chrono::milliseconds(500), [] {
                GList* windows = gtk_window_list_toplevels();
                for (GList* l = windows; l; l = l->next)
                    if (GTK_IS_APPLICATION_WINDOW(l->data)) gtk_window_present(GTK_WINDOW(l->data));
                g_list_free(windows);
                log("E2E host: the window is on screen");
            });
        }));
    (void)launched;
}

}  // namespace

int main(int argc, char** argv) {
    return wharf::wharfMain(argc, argv, [] {
        wharf::platform::Application::shared().setBackgroundFetchTimeLimit(std::chrono::seconds(2));
        if (std::getenv("WHARF_E2E_SHOW_WINDOW")) showWindowSoon();
    });
}
