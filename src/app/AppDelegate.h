#pragma once
// The application's own classes: thin subclasses of the host's.
#include "app/WFAppDelegate.h"
#include "host/WFCommandDelegateImpl.h"
#include "host/WFCommandQueue.h"
#include "host/WFViewController.h"

namespace wharf {

class MainViewController : public WFViewController {
public:
    MainViewController() = default;
    bool didReceiveMemoryWarning() override { return WFViewController::didReceiveMemoryWarning(); }
    void viewWillAppear(bool animated) override { WFViewController::viewWillAppear(animated); }
    void viewDidLoad() override { WFViewController::viewDidLoad(); }
    void viewDidUnload() override { WFViewController::viewDidUnload(); }
};

// Never instantiated: the host creates the base classes itself.
class MainCommandDelegate : public WFCommandDelegateImpl {
public:
    using WFCommandDelegateImpl::WFCommandDelegateImpl;
};
class MainCommandQueue : public WFCommandQueue {
public:
    using WFCommandQueue::WFCommandQueue;
};

class AppDelegate : public WFAppDelegate {
public:
    bool applicationDidFinishLaunchingWithOptions(const platform::Value& launchOptions) override;
    // A background fetch goes to the background-fetch manager.
    bool respondsToPerformFetch() const override { return true; }
    void applicationPerformFetchWithCompletionHandler(
        platform::BackgroundFetchCompletionHandler completionHandler) override;

    // Registers "AppDelegate" and "MainViewController" in the class registry.
    static void registerClasses();
};

}  // namespace wharf
