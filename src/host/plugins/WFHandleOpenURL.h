#pragma once
// Hands the URL the application was opened with to the page's global
// `handleOpenURL` function, once the page has loaded.
#include <optional>
#include <string>

#include "host/WFPlugin.h"

namespace wharf {

class WFHandleOpenURL : public WFPlugin {
public:
    static const WFActionTable& actions();
    const WFActionTable& actionTable() const override { return actions(); }

    void pluginInitialize() override;
    // The open-URL notification (WFPlugin's hook for it).
    void handleOpenURL(const platform::Notification& notification) override;
    void applicationLaunchedWithUrl(const platform::Notification& notification);
    void applicationPageDidLoad(const platform::Notification& notification);
    void processOpenUrl(const platform::Url& url, bool pageLoaded);

    // The script that delivers `url`; the URL is a JSON string literal, so
    // quotes in it cannot end the literal.
    static std::string deliveryScript(const platform::Url& url);

    bool pageLoaded() const { return pageLoaded_; }
    void setPageLoaded(bool loaded) { pageLoaded_ = loaded; }
    const std::optional<platform::Url>& url() const { return url_; }
    void setUrl(std::optional<platform::Url> url) { url_ = std::move(url); }

private:
    bool pageLoaded_ = false;
    std::optional<platform::Url> url_;
    platform::ObserverToken pageDidLoadObservation_;
};

}  // namespace wharf
