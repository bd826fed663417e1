#include "host/plugins/WFIntentAndNavigationFilter.h"

#include "host/WFViewController.h"
#include "host/plugins/WFURLOpener.h"
#include "platform/base/Error.h"
#include "platform/base/Log.h"

namespace wharf {

namespace {

constexpr int kNavigationTypeLinkClicked = 0;
constexpr int kNavigationTypeOther = 5;

// The host's own inline pages (loaded from a string without a base URL, such
// as the start-page-not-found message) arrive as this URL.
bool isHostInlinePage(const platform::Url& url) { return url.absoluteString() == "about:blank"; }

}  // namespace

const WFActionTable& WFIntentAndNavigationFilter::actions() {
    static const WFActionTable none;
    return none;
}

void WFIntentAndNavigationFilter::pluginInitialize() {
    if (auto controller = std::dynamic_pointer_cast<WFViewController>(viewController()))
        controller->parseSettingsWithParser(*this);
}

void WFIntentAndNavigationFilter::parserDidStartDocument(WFXMLParser&) {
    allowNavigations_ = {"file://"};
    allowIntents_.clear();
}

void WFIntentAndNavigationFilter::parserDidStartElement(WFXMLParser&, const std::string& elementName,
                                                        const std::string&, const std::string&,
                                                        const std::map<std::string, std::string>& attributes) {
    auto href = attributes.find("href");
    if (href == attributes.end()) return;
    if (elementName == "allow-navigation")
        allowNavigations_.push_back(href->second);
    else if (elementName == "allow-intent")
        allowIntents_.push_back(href->second);
}

void WFIntentAndNavigationFilter::parserDidEndDocument(WFXMLParser&) {
    allowIntentsWhitelist_ = std::make_unique<WFWhitelist>(allowIntents_);
    allowNavigationsWhitelist_ = std::make_unique<WFWhitelist>(allowNavigations_);
}

void WFIntentAndNavigationFilter::parserParseErrorOccurred(WFXMLParser& parser, const platform::Error&) {
    char message[96];
    snprintf(message, sizeof message, "config.xml parse error line %ld col %ld", parser.lineNumber(),
             parser.columnNumber());
    throw platform::FatalConfigurationError(message);
}

WFIntentAndNavigationFilterValue WFIntentAndNavigationFilter::filterUrl(const platform::Url& url) const {
    return filterUrl(url, allowIntentsWhitelist_.get(), allowNavigationsWhitelist_.get());
}

WFIntentAndNavigationFilterValue WFIntentAndNavigationFilter::filterUrl(const platform::Url& url,
                                                                        const WFWhitelist* intentsWhitelist,
                                                                        const WFWhitelist* navigationsWhitelist) {
    if (isHostInlinePage(url)) return WFIntentAndNavigationFilterValueNavigationAllowed;
    if (navigationsWhitelist && navigationsWhitelist->URLIsAllowed(url, false))
        return WFIntentAndNavigationFilterValueNavigationAllowed;
    if (intentsWhitelist && intentsWhitelist->URLIsAllowed(url, false))
        return WFIntentAndNavigationFilterValueIntentAllowed;
    return WFIntentAndNavigationFilterValueNoneAllowed;
}

bool WFIntentAndNavigationFilter::shouldOpenURLRequest(const platform::Url& url, const platform::Url& mainDocumentURL,
                                                       int navigationType) {
    if (navigationType == kNavigationTypeLinkClicked) return true;
    // A top-level load not started by a click; a frame's own load is not opened.
    if (navigationType == kNavigationTypeOther) return url.absoluteString() == mainDocumentURL.absoluteString();
    return false;
}

bool WFIntentAndNavigationFilter::shouldOverrideLoadWithRequest(const platform::Url& url,
                                                                const platform::Url& mainDocumentURL,
                                                                int navigationType,
                                                                WFIntentAndNavigationFilterValue filterValue) {
    switch (filterValue) {
    case WFIntentAndNavigationFilterValueNavigationAllowed: return true;
    case WFIntentAndNavigationFilterValueIntentAllowed:
        if (shouldOpenURLRequest(url, mainDocumentURL, navigationType)) WFURLOpener::shared()->openURL(url);
        return false;
    case WFIntentAndNavigationFilterValueNoneAllowed:
        platform::logMessage("ERROR Internal navigation rejected - <allow-navigation> not set for url='" +
                             url.absoluteString() + "'");
        if (navigationType == kNavigationTypeLinkClicked)
            platform::logMessage("ERROR External navigation rejected - <allow-intent> not set for url='" +
                                 url.absoluteString() + "'");
        return false;
    }
    return true;
}

bool WFIntentAndNavigationFilter::shouldOverrideLoadWithRequest(const WFURLRequest& request, int navigationType) {
    return shouldOverrideLoadWithRequest(request.url, request.mainDocumentURL.value_or(request.url), navigationType,
                                         filterUrl(request.url));
}

}  // namespace wharf
