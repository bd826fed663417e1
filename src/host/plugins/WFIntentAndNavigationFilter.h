#pragma once
// Decides for every load request of the web view: navigate, hand the URL to
// the system (an intent), or refuse. The rules are config.xml's
// `allow-navigation` and `allow-intent` entries.
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/WFPlugin.h"
#include "host/WFWhitelist.h"
#include "host/WFXMLParser.h"

namespace wharf {

enum WFIntentAndNavigationFilterValue : int {
    WFIntentAndNavigationFilterValueIntentAllowed = 0,
    WFIntentAndNavigationFilterValueNavigationAllowed = 1,
    WFIntentAndNavigationFilterValueNoneAllowed = 2,
};

class WFIntentAndNavigationFilter : public WFPlugin, public WFXMLParserDelegate {
public:
    static const WFActionTable& actions();
    const WFActionTable& actionTable() const override { return actions(); }

    // Reads config.xml through the view controller (a WFViewController only).
    void pluginInitialize() override;

    void parserDidStartDocument(WFXMLParser& parser) override;
    void parserDidStartElement(WFXMLParser& parser, const std::string& elementName, const std::string& namespaceURI,
                               const std::string& qualifiedName,
                               const std::map<std::string, std::string>& attributes) override;
    void parserDidEndDocument(WFXMLParser& parser) override;
    // Throws platform::FatalConfigurationError: config.xml is built into the application.
    void parserParseErrorOccurred(WFXMLParser& parser, const platform::Error& error) override;

    WFIntentAndNavigationFilterValue filterUrl(const platform::Url& url) const;
    // A null whitelist allows nothing.
    static WFIntentAndNavigationFilterValue filterUrl(const platform::Url& url, const WFWhitelist* intentsWhitelist,
                                                      const WFWhitelist* navigationsWhitelist);
    // Whether an intent-allowed request is handed to the system.
    static bool shouldOpenURLRequest(const platform::Url& url, const platform::Url& mainDocumentURL,
                                     int navigationType);
    // true lets the web view load the request.
    static bool shouldOverrideLoadWithRequest(const platform::Url& url, const platform::Url& mainDocumentURL,
                                              int navigationType, WFIntentAndNavigationFilterValue filterValue);

    bool respondsToShouldOverrideLoad() const override { return true; }
    bool shouldOverrideLoadWithRequest(const WFURLRequest& request, int navigationType) override;

    const std::vector<std::string>& allowIntents() const { return allowIntents_; }
    const std::vector<std::string>& allowNavigations() const { return allowNavigations_; }
    const WFWhitelist* allowIntentsWhitelist() const { return allowIntentsWhitelist_.get(); }
    const WFWhitelist* allowNavigationsWhitelist() const { return allowNavigationsWhitelist_.get(); }

private:
    std::vector<std::string> allowIntents_;
    std::vector<std::string> allowNavigations_;
    std::unique_ptr<WFWhitelist> allowIntentsWhitelist_;
    std::unique_ptr<WFWhitelist> allowNavigationsWhitelist_;
};

}  // namespace wharf
