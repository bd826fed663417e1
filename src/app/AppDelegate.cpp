#include "app/AppDelegate.h"

#include "platform/base/ClassRegistry.h"
#include "platform/base/Log.h"
#include "plugins/background-fetch/BackgroundFetchManager.h"

namespace wharf {

bool AppDelegate::applicationDidFinishLaunchingWithOptions(const platform::Value& launchOptions) {
    auto controller = std::make_shared<MainViewController>();
    controller->init();
    setViewController(controller);
    return WFAppDelegate::applicationDidFinishLaunchingWithOptions(launchOptions);
}

void AppDelegate::applicationPerformFetchWithCompletionHandler(
    platform::BackgroundFetchCompletionHandler completionHandler) {
    platform::log("%s AppDelegate received fetch event", "WFBackgroundFetch");
    BackgroundFetchManager::sharedInstance().performFetchWithCompletionHandler(std::move(completionHandler));
}

void AppDelegate::registerClasses() {
    auto& registry = platform::ClassRegistry::shared();
    registry.registerClass<WFAppDelegate>(
        "AppDelegate", std::function<std::shared_ptr<WFAppDelegate>()>([] { return std::make_shared<AppDelegate>(); }));
    registry.registerClass<WFViewController>("MainViewController",
                                             std::function<std::shared_ptr<WFViewController>()>([] {
                                                 auto controller = std::make_shared<MainViewController>();
                                                 controller->init();
                                                 return controller;
                                             }));
}

}  // namespace wharf
