#pragma once
// Collects from config.xml the plug-in map, the start-up plug-ins, the start
// page and the preferences.
#include <optional>
#include <string>
#include <vector>

#include "host/WFXMLParser.h"
#include "platform/base/Value.h"

namespace wharf {

class WFConfigParser : public WFXMLParserDelegate {
public:
    WFConfigParser();

    void parserDidStartElement(WFXMLParser& parser, const std::string& elementName, const std::string& namespaceURI,
                               const std::string& qualifiedName,
                               const std::map<std::string, std::string>& attributes) override;
    void parserDidEndElement(WFXMLParser& parser, const std::string& elementName, const std::string& namespaceURI,
                             const std::string& qualifiedName) override;
    // Throws platform::FatalConfigurationError "config.xml parse error line %ld col %ld".
    void parserParseErrorOccurred(WFXMLParser& parser, const platform::Error& error) override;

    // Lower-cased feature name → plug-in class name.
    const platform::Value& pluginsDict() const { return pluginsDict_; }
    // Lower-cased preference name → value.
    const platform::Value& settings() const { return settings_; }
    const std::optional<std::string>& startPage() const { return startPage_; }
    // Lower-cased feature names, in document order, once per marking.
    const std::vector<std::string>& startupPluginNames() const { return startupPluginNames_; }

private:
    std::optional<std::string> featureName_;
    platform::Value pluginsDict_;
    platform::Value settings_;
    std::optional<std::string> startPage_;
    std::vector<std::string> startupPluginNames_;
};

}  // namespace wharf
