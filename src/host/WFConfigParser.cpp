#include "host/WFConfigParser.h"

#include <cstdio>

#include "host/WFStrings.h"
#include "platform/base/Error.h"
#include "platform/base/Log.h"

namespace wharf {

using platform::Value;

namespace {

const std::string* attribute(const std::map<std::string, std::string>& attributes, const char* name) {
    auto it = attributes.find(name);
    return it == attributes.end() ? nullptr : &it->second;
}

}  // namespace

WFConfigParser::WFConfigParser() : pluginsDict_(Value::object()), settings_(Value::object()) {
    startupPluginNames_.reserve(8);
}

void WFConfigParser::parserDidStartElement(WFXMLParser&, const std::string& elementName, const std::string&,
                                           const std::string&, const std::map<std::string, std::string>& attributes) {
    if (elementName == "preference") {
        const auto* name = attribute(attributes, "name");
        const auto* value = attribute(attributes, "value");
        if (!name || !value) {
            platform::log("config.xml: a <preference> without a name or value is ignored.");
            return;
        }
        settings_[wf_lowercase(*name)] = *value;
    } else if (elementName == "feature") {
        const auto* name = attribute(attributes, "name");
        if (!name) {
            platform::log("config.xml: a <feature> without a name is ignored.");
            featureName_.reset();
            return;
        }
        featureName_ = wf_lowercase(*name);
    } else if (elementName == "param" && featureName_) {
        const auto* name = attribute(attributes, "name");
        const auto* value = attribute(attributes, "value");
        const std::string paramName = name ? wf_lowercase(*name) : std::string();
        if (paramName == "ios-package" && value) pluginsDict_[*featureName_] = *value;
        const auto* onload = attribute(attributes, "onload");
        const bool markedByParam = paramName == "onload" && value && *value == "true";
        const bool markedByAttribute = onload && wf_lowercase(*onload) == "true";
        if (markedByParam || markedByAttribute) startupPluginNames_.push_back(*featureName_);
    } else if (elementName == "content") {
        if (const auto* src = attribute(attributes, "src")) startPage_ = *src;
    }
}

void WFConfigParser::parserDidEndElement(WFXMLParser&, const std::string& elementName, const std::string&,
                                         const std::string&) {
    if (elementName == "feature") featureName_.reset();
}

void WFConfigParser::parserParseErrorOccurred(WFXMLParser& parser, const platform::Error&) {
    char message[128];
    std::snprintf(message, sizeof message, "config.xml parse error line %ld col %ld", parser.lineNumber(),
                  parser.columnNumber());
    throw platform::FatalConfigurationError(message);
}

}  // namespace wharf
