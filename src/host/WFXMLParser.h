#pragma once
// A streaming (SAX) XML parser over expat with a delegate, as the platform's
// XML parser offers. Namespaces are not processed: element names are given as
// written.
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "platform/base/Error.h"

namespace wharf {

class WFXMLParser;

inline constexpr const char* WFXMLParserErrorDomain = "NSXMLParserErrorDomain";

class WFXMLParserDelegate {
public:
    virtual ~WFXMLParserDelegate() = default;
    virtual void parserDidStartDocument(WFXMLParser&) {}
    virtual void parserDidEndDocument(WFXMLParser&) {}
    virtual void parserDidStartElement(WFXMLParser&, const std::string& /*elementName*/,
                                       const std::string& /*namespaceURI*/, const std::string& /*qualifiedName*/,
                                       const std::map<std::string, std::string>& /*attributes*/) {}
    virtual void parserDidEndElement(WFXMLParser&, const std::string& /*elementName*/,
                                     const std::string& /*namespaceURI*/, const std::string& /*qualifiedName*/) {}
    // The parse stops after this; lineNumber()/columnNumber() tell where.
    virtual void parserParseErrorOccurred(WFXMLParser&, const platform::Error& /*error*/) {}
};

class WFXMLParser {
public:
    // A parser over a file's contents, or nullptr when the file cannot be read.
    static std::unique_ptr<WFXMLParser> fromFile(const std::string& path);
    static std::unique_ptr<WFXMLParser> fromString(std::string text);

    void setDelegate(WFXMLParserDelegate* delegate) { delegate_ = delegate; }
    // Parses synchronously; false after a parse error (reported to the delegate).
    // An exception thrown by the delegate stops the parse and propagates.
    bool parse();

    // Where the parser is (1-based), also after an error.
    long lineNumber() const { return line_; }
    long columnNumber() const { return column_; }

private:
    explicit WFXMLParser(std::string text) : text_(std::move(text)) {}
    struct Callbacks;

    std::string text_;
    WFXMLParserDelegate* delegate_ = nullptr;
    long line_ = 1;
    long column_ = 1;
};

}  // namespace wharf
