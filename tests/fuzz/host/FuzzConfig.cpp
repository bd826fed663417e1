// config.xml as the host reads it at start-up: the settings parser and the
// navigation filter's parser over the same text, then the filter's two
// whitelists asked about fixed URLs and about every entry the file declared.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "host/WFConfigParser.h"
#include "host/WFXMLParser.h"
#include "host/plugins/WFIntentAndNavigationFilter.h"
#include "platform/base/Error.h"
#include "platform/base/Url.h"

using namespace wharf;

namespace {

const char* const kProbes[] = {
    "https://www.example.com/a/b?c=1#d",
    "http://127.0.0.1:8080/index.html",
    "tel:+441234",
    "mailto:a@example.com",
    "file:///opt/app/www/index.html",
    "data:text/plain,x",
    "wharf://ready",
};

template <class Delegate>
bool parse(const std::string& text, Delegate& delegate) {
    auto parser = WFXMLParser::fromString(text);
    FUZZ_CHECK(parser);
    parser->setDelegate(&delegate);
    try {
        return parser->parse();
    } catch (const platform::FatalConfigurationError&) {
        return false;  // the error the host reports for a malformed config.xml
    }
}

void probe(const WFIntentAndNavigationFilter& filter, const std::string& text) {
    if (auto url = platform::Url::parse(text)) {
        const auto value = filter.filterUrl(*url);
        FUZZ_CHECK(value == WFIntentAndNavigationFilterValueIntentAllowed ||
                   value == WFIntentAndNavigationFilterValueNavigationAllowed ||
                   value == WFIntentAndNavigationFilterValueNoneAllowed);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    WFConfigParser config;
    const bool configParsed = parse(text, config);
    FUZZ_CHECK(config.pluginsDict().is_object() && config.settings().is_object());

    WFIntentAndNavigationFilter filter;
    const bool filterParsed = parse(text, filter);
    FUZZ_CHECK(configParsed == filterParsed);
    if (!filterParsed) return 0;

    for (const char* url : kProbes) probe(filter, url);
    for (const auto& entry : filter.allowNavigations()) probe(filter, entry);
    for (const auto& entry : filter.allowIntents()) probe(filter, entry);
    return 0;
}
