#include "host/plugins/WFHandleOpenURL.h"

#include "platform/base/Value.h"

namespace wharf {

const WFActionTable& WFHandleOpenURL::actions() {
    static const WFActionTable none;
    return none;
}

void WFHandleOpenURL::pluginInitialize() {
    // The open-URL notification already reaches handleOpenURL() (every plug-in hears it).
    std::weak_ptr<WFPlugin> weak = weak_from_this();
    pageDidLoadObservation_ = platform::NotificationCenter::defaultCenter().addObserver(
        WFPageDidLoadNotification, nullptr, [weak](const platform::Notification& notification) {
            if (auto plugin = weak.lock()) static_cast<WFHandleOpenURL&>(*plugin).applicationPageDidLoad(notification);
        });
}

void WFHandleOpenURL::handleOpenURL(const platform::Notification& notification) {
    applicationLaunchedWithUrl(notification);
}

void WFHandleOpenURL::applicationLaunchedWithUrl(const platform::Notification& notification) {
    const auto* url = static_cast<const platform::Url*>(notification.object);
    if (!url) return;
    url_ = *url;
    if (pageLoaded_) {
        processOpenUrl(*url_, true);
        url_.reset();
    }
}

void WFHandleOpenURL::applicationPageDidLoad(const platform::Notification&) {
    pageLoaded_ = true;
    if (url_) {
        processOpenUrl(*url_, true);
        url_.reset();
    }
}

std::string WFHandleOpenURL::deliveryScript(const platform::Url& url) {
    // ASCII-only JSON: also keeps U+2028/U+2029 out of the literal.
    std::string literal = platform::Value(url.absoluteString()).dump(-1, ' ', true);
    return "document.addEventListener('deviceready',function(){if (typeof handleOpenURL === 'function') { "
           "handleOpenURL(" +
           literal + ");}});";
}

void WFHandleOpenURL::processOpenUrl(const platform::Url& url, bool pageLoaded) {
    if (!pageLoaded) return;
    if (auto engine = webViewEngine()) engine->evaluateJavaScript(deliveryScript(url), nullptr);
}

}  // namespace wharf
