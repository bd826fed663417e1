#include "host/WFXMLParser.h"

#include <expat.h>

#include <algorithm>
#include <exception>
#include <fstream>
#include <sstream>

namespace wharf {

// Trampolines from expat's C callbacks. Exceptions must not cross expat's C
// frames: they are kept, the parse is stopped, and they are rethrown after.
struct WFXMLParser::Callbacks {
    WFXMLParser* parser;
    XML_Parser expat;
    std::exception_ptr exception;

    void track() {
        parser->line_ = static_cast<long>(XML_GetCurrentLineNumber(expat));
        parser->column_ = static_cast<long>(XML_GetCurrentColumnNumber(expat)) + 1;
    }

    template <class F>
    static void guarded(void* data, F&& f) {
        auto* self = static_cast<Callbacks*>(data);
        if (self->exception) return;
        try {
            self->track();
            if (self->parser->delegate_) f(*self->parser->delegate_, *self->parser);
        } catch (...) {
            self->exception = std::current_exception();
            XML_StopParser(self->expat, XML_FALSE);
        }
    }

    static void start(void* data, const XML_Char* name, const XML_Char** attributes) {
        guarded(data, [&](WFXMLParserDelegate& delegate, WFXMLParser& parser) {
            std::map<std::string, std::string> attrs;
            for (int i = 0; attributes[i] && attributes[i + 1]; i += 2) attrs[attributes[i]] = attributes[i + 1];
            delegate.parserDidStartElement(parser, name, "", name, attrs);
        });
    }

    static void end(void* data, const XML_Char* name) {
        guarded(data, [&](WFXMLParserDelegate& delegate, WFXMLParser& parser) {
            delegate.parserDidEndElement(parser, name, "", name);
        });
    }
};

std::unique_ptr<WFXMLParser> WFXMLParser::fromFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return nullptr;
    std::ostringstream contents;
    contents << in.rdbuf();
    if (in.bad()) return nullptr;
    return fromString(contents.str());
}

std::unique_ptr<WFXMLParser> WFXMLParser::fromString(std::string text) {
    return std::unique_ptr<WFXMLParser>(new WFXMLParser(std::move(text)));
}

bool WFXMLParser::parse() {
    XML_Parser expat = XML_ParserCreate(nullptr);
    if (!expat) throw std::bad_alloc();
    Callbacks callbacks{this, expat, nullptr};
    XML_SetUserData(expat, &callbacks);
    XML_SetElementHandler(expat, &Callbacks::start, &Callbacks::end);

    line_ = 1;
    column_ = 1;
    if (delegate_) delegate_->parserDidStartDocument(*this);
    // Fed in chunks: expat takes an int length.
    constexpr std::size_t kChunk = 1 << 20;
    XML_Status status = XML_STATUS_OK;
    std::size_t offset = 0;
    do {
        const std::size_t length = std::min(kChunk, text_.size() - offset);
        const bool last = offset + length == text_.size();
        status = XML_Parse(expat, text_.data() + offset, static_cast<int>(length), last ? XML_TRUE : XML_FALSE);
        offset += length;
    } while (status == XML_STATUS_OK && offset < text_.size());
    if (callbacks.exception) {
        XML_ParserFree(expat);
        std::rethrow_exception(callbacks.exception);
    }
    callbacks.track();
    if (status != XML_STATUS_OK) {
        const XML_Error code = XML_GetErrorCode(expat);
        platform::Error error =
            platform::Error::withDescription(WFXMLParserErrorDomain, static_cast<int64_t>(code), XML_ErrorString(code));
        XML_ParserFree(expat);
        if (delegate_) delegate_->parserParseErrorOccurred(*this, error);
        return false;
    }
    XML_ParserFree(expat);
    if (delegate_) delegate_->parserDidEndDocument(*this);
    return true;
}

}  // namespace wharf
