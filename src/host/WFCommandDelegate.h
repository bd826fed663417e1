#pragma once
// What a plug-in reaches of the host: results, script evaluation, background
// work, other plug-ins and the preferences.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "host/WFPluginResult.h"
#include "platform/base/Url.h"
#include "platform/base/Value.h"

namespace wharf {

class WFPlugin;

using WFUrlTransformer = std::function<platform::Url(const platform::Url&)>;

class WFCommandDelegate {
public:
    virtual ~WFCommandDelegate() = default;

    // The absolute path of a file inside the bundle's web folder, or nullopt.
    virtual std::optional<std::string> pathForResource(const std::string& path) = 0;
    virtual std::shared_ptr<WFPlugin> getCommandInstance(const std::string& pluginName) = 0;
    // Callable from any thread. A missing callback id (the page sent null) is invalid.
    virtual void sendPluginResult(const WFPluginResult& result, const std::optional<std::string>& callbackId) = 0;
    // The same for a result its sender is done with: its message may be
    // taken instead of copied, so that a large one is not held twice.
    virtual void sendPluginResult(WFPluginResult&& result, const std::optional<std::string>& callbackId) = 0;
    virtual void evalJs(const std::string& js) = 0;
    virtual void evalJs(const std::string& js, bool scheduledOnRunLoop) = 0;
    virtual void runInBackground(std::function<void()> block) = 0;
    virtual std::string userAgent() = 0;
    // Preferences under lower-cased names.
    virtual platform::Value settings() = 0;
    virtual WFUrlTransformer urlTransformer() const = 0;
    virtual void setUrlTransformer(WFUrlTransformer transformer) = 0;
};

}  // namespace wharf
