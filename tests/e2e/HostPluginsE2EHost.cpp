// The wharf host for the built-in plug-in tests, with a plug-in that lets the
// page take the application through a resign-active, as a window losing the
// focus does (a bare X server has no window manager to move the focus).
#include "app/WharfMain.h"
#include "host/WFPlugin.h"
#include "platform/device/Application.h"

namespace {

class E2ELifecycle : public wharf::WFPlugin {
public:
    static const wharf::WFActionTable& actions() {
        static const wharf::WFActionTable table =
            wharf::WFMakeActionTable<E2ELifecycle>({{"resignActive", &E2ELifecycle::resignActive}});
        return table;
    }
    const wharf::WFActionTable& actionTable() const override { return actions(); }

    void resignActive(const wharf::WFInvokedUrlCommand&) {
        auto& app = wharf::platform::Application::shared();
        app.setState(wharf::platform::ApplicationState::Active);
        app.setState(wharf::platform::ApplicationState::Inactive);
    }
};

}  // namespace

int main(int argc, char** argv) {
    return wharf::wharfMain(argc, argv, [] { wharf::WFRegisterPluginClass<E2ELifecycle>("E2ELifecycle"); });
}
