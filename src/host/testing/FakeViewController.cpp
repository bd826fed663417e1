#include "host/testing/FakeViewController.h"

#include "host/WFStrings.h"

namespace wharf::testing {

std::shared_ptr<FakeViewController> FakeViewController::create(std::shared_ptr<platform::Clock> clock) {
    std::shared_ptr<FakeViewController> controller(new FakeViewController());
    controller->engine_ = std::make_shared<FakeWebViewEngine>();
    controller->queue_ = std::make_shared<WFCommandQueue>(controller, std::move(clock));
    controller->delegate_ = std::make_shared<WFCommandDelegateImpl>(controller);
    controller->adopt(controller->engine_);
    return controller;
}

FakeViewController::~FakeViewController() {
    if (queue_) queue_->dispose();
    for (auto& [name, plugin] : pluginObjects_) plugin->dispose();
}

void FakeViewController::adopt(const std::shared_ptr<WFPlugin>& plugin) {
    plugin->setViewController(weak_from_this());
    plugin->setCommandDelegate(delegate_);
    plugin->pluginInitialize();
}

void FakeViewController::registerPlugin(const std::shared_ptr<WFPlugin>& plugin, const std::string& serviceName) {
    const std::string service = wf_lowercase(serviceName);
    classNames_[service] = service;
    pluginObjects_[service] = plugin;
    adopt(plugin);
}

void FakeViewController::mapService(const std::string& serviceName, const std::string& className) {
    classNames_[wf_lowercase(serviceName)] = className;
}

std::shared_ptr<WFPlugin> FakeViewController::getCommandInstance(const std::string& pluginName) {
    auto mapped = classNames_.find(wf_lowercase(pluginName));
    if (mapped == classNames_.end()) return nullptr;
    if (auto it = pluginObjects_.find(mapped->second); it != pluginObjects_.end()) return it->second;
    auto plugin = WFPlugin::createInstance(mapped->second, engine_);
    if (!plugin) return nullptr;
    pluginObjects_[mapped->second] = plugin;
    adopt(plugin);
    return plugin;
}

}  // namespace wharf::testing
