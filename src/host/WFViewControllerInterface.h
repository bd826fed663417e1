#pragma once
// The part of the hosting view controller that the bridge and the plug-ins
// use. WFViewController implements it; tests use FakeViewController.
//
// The controller owns the command queue, the command delegate, the engine and
// every plug-in; they keep only weak references back to it. Because the queue
// and the delegate take a weak reference at construction, the controller is
// owned by a shared_ptr and creates them after it is fully constructed (queue
// first: the delegate reads it from the controller).
#include <memory>
#include <string>

#include "platform/base/Value.h"

namespace wharf {

class WFCommandDelegate;
class WFCommandQueue;
class WFPlugin;
class WFWebViewEngineProtocol;

class WFViewControllerInterface {
public:
    virtual ~WFViewControllerInterface() = default;

    virtual std::shared_ptr<WFWebViewEngineProtocol> webViewEngine() const = 0;
    virtual std::shared_ptr<WFCommandDelegate> commandDelegate() const = 0;
    virtual std::shared_ptr<WFCommandQueue> commandQueue() const = 0;
    // The plug-in serving a service name (created on first use), or null.
    virtual std::shared_ptr<WFPlugin> getCommandInstance(const std::string& pluginName) = 0;
    virtual const std::string& wwwFolderName() const = 0;
    // Preferences under lower-cased names.
    virtual const platform::Value& settings() const = 0;
    virtual std::string userAgent() = 0;
};

}  // namespace wharf
