#pragma once
// A stand-in for the hosting view controller in unit tests: owns a fake
// engine, a command queue and a command delegate, and a small plug-in registry.
#include <map>
#include <memory>
#include <string>

#include "host/WFCommandDelegateImpl.h"
#include "host/WFCommandQueue.h"
#include "host/WFViewControllerInterface.h"
#include "host/testing/FakeWebViewEngine.h"
#include "platform/base/Clock.h"

namespace wharf::testing {

class FakeViewController : public WFViewControllerInterface, public std::enable_shared_from_this<FakeViewController> {
public:
    // The clock goes to the command queue.
    static std::shared_ptr<FakeViewController> create(std::shared_ptr<platform::Clock> clock = nullptr);
    ~FakeViewController() override;

    // Serves `serviceName` with an existing plug-in: sets its controller and
    // delegate and calls pluginInitialize (as the host's registration does).
    void registerPlugin(const std::shared_ptr<WFPlugin>& plugin, const std::string& serviceName);
    // Serves `serviceName` with a registered plug-in class, created on first use.
    void mapService(const std::string& serviceName, const std::string& className);

    const std::shared_ptr<FakeWebViewEngine>& engine() const { return engine_; }
    const std::shared_ptr<WFCommandDelegateImpl>& delegate() const { return delegate_; }
    const std::shared_ptr<WFCommandQueue>& queue() const { return queue_; }
    platform::Value& mutableSettings() { return settings_; }
    void setUserAgent(std::string userAgent) { userAgent_ = std::move(userAgent); }
    void setWwwFolderName(std::string folder) { wwwFolderName_ = std::move(folder); }

    std::shared_ptr<WFWebViewEngineProtocol> webViewEngine() const override { return engine_; }
    std::shared_ptr<WFCommandDelegate> commandDelegate() const override { return delegate_; }
    std::shared_ptr<WFCommandQueue> commandQueue() const override { return queue_; }
    std::shared_ptr<WFPlugin> getCommandInstance(const std::string& pluginName) override;
    const std::string& wwwFolderName() const override { return wwwFolderName_; }
    const platform::Value& settings() const override { return settings_; }
    std::string userAgent() override { return userAgent_; }

private:
    FakeViewController() = default;
    void adopt(const std::shared_ptr<WFPlugin>& plugin);

    std::shared_ptr<FakeWebViewEngine> engine_;
    std::shared_ptr<WFCommandQueue> queue_;
    std::shared_ptr<WFCommandDelegateImpl> delegate_;
    std::map<std::string, std::string> classNames_;  // lower-cased service → class
    std::map<std::string, std::shared_ptr<WFPlugin>> pluginObjects_;  // class or service → plug-in
    platform::Value settings_ = platform::Value::object();
    std::string userAgent_ = "FakeAgent/1.0";
    std::string wwwFolderName_ = "www";
};

}  // namespace wharf::testing
