#pragma once
// The answer of a plug-in action, and its JSON form for the page's callback.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/base/Value.h"

namespace wharf {

enum class WFResultStatus : int {
    NoResult = 0,
    OK = 1,
    ClassNotFound = 2,
    IllegalAccess = 3,
    InstantiationError = 4,
    MalformedURL = 5,
    IOError = 6,
    InvalidAction = 7,
    JSONError = 8,
    Error = 9,
};

class WFPluginResult {
public:
    WFPluginResult() = default;  // NoResult, no message
    WFPluginResult(int status, platform::Value message);

    static WFPluginResult resultWithStatus(WFResultStatus status);
    static WFPluginResult resultWithStatusMessageAsString(WFResultStatus status, const std::string& message);
    static WFPluginResult resultWithStatusMessageAsArray(WFResultStatus status, const platform::Value& array);
    static WFPluginResult resultWithStatusMessageAsInt(WFResultStatus status, int message);
    static WFPluginResult resultWithStatusMessageAsNSInteger(WFResultStatus status, int64_t message);
    static WFPluginResult resultWithStatusMessageAsNSUInteger(WFResultStatus status, uint64_t message);
    static WFPluginResult resultWithStatusMessageAsDouble(WFResultStatus status, double message);
    static WFPluginResult resultWithStatusMessageAsBool(WFResultStatus status, bool message);
    static WFPluginResult resultWithStatusMessageAsDictionary(WFResultStatus status, const platform::Value& dictionary);
    static WFPluginResult resultWithStatusMessageAsArrayBuffer(WFResultStatus status, const platform::Bytes& data);
    // Byte-buffer elements (JSON binary values) become binary wrappers.
    static WFPluginResult resultWithStatusMessageAsMultipart(WFResultStatus status, const platform::Value& messages);
    static WFPluginResult resultWithStatusMessageToErrorObject(WFResultStatus status, int errorCode);

    int status() const { return status_; }
    // null when there is no message.
    const platform::Value& message() const { return message_; }
    bool keepCallback() const { return keepCallback_; }
    void setKeepCallbackAsBool(bool keep) { keepCallback_ = keep; }
    void setKeepCallback(bool keep) { keepCallback_ = keep; }
    // Kept for the plug-in's own use; never sent to the page.
    const std::shared_ptr<void>& associatedObject() const { return associatedObject_; }
    void setAssociatedObject(std::shared_ptr<void> object) { associatedObject_ = std::move(object); }

    // The message as the callback's argument text: a quoted string, a bare
    // number, true/false, JSON text of a container, or null.
    std::string argumentsAsJSON() const;
    // The same text, appended to `out`.
    void appendArgumentsAsJSON(std::string& out) const;

    // "OK", "Class not found", ...; "" for a code outside the table.
    static std::string statusText(int status);

    static void setVerbose(bool verbose);
    static bool isVerbose();

private:
    int status_ = 0;
    platform::Value message_;
    bool keepCallback_ = false;
    std::shared_ptr<void> associatedObject_;
};

}  // namespace wharf
