#pragma once
// One call from the page: [callback id, service, action, arguments].
#include <cstddef>
#include <optional>
#include <string>

#include "platform/base/Value.h"

namespace wharf {

// The kinds an argument can be asked to have (a number includes booleans).
enum class WFValueClass { String, Number, Array, Dictionary, Data };

class WFInvokedUrlCommand {
public:
    // Stores the fields, then rewrites binary arguments (massageArguments).
    WFInvokedUrlCommand(platform::Value arguments, std::optional<std::string> callbackId, std::string className,
                        std::string methodName);
    WFInvokedUrlCommand(const WFInvokedUrlCommand&) = default;
    WFInvokedUrlCommand(WFInvokedUrlCommand&&) = default;
    WFInvokedUrlCommand& operator=(const WFInvokedUrlCommand&) = default;
    WFInvokedUrlCommand& operator=(WFInvokedUrlCommand&&) = default;
    ~WFInvokedUrlCommand();

    // A command from one batch entry. An entry that is not an array of at least
    // four elements of the right kinds (callback id string or null, service and
    // action strings, arguments array) is rejected with a log line: nullopt.
    static std::optional<WFInvokedUrlCommand> commandFromJson(platform::Value entry);

    const std::optional<std::string>& callbackId() const { return callbackId_; }
    const std::string& className() const { return className_; }
    const std::string& methodName() const { return methodName_; }
    const platform::Value& arguments() const { return arguments_; }

    // The argument, or `defaultValue` when the index is out of range, the value
    // is null, or (with a class) the value is of another kind.
    platform::Value argumentAtIndex(std::size_t index, const platform::Value& defaultValue = nullptr) const;
    platform::Value argumentAtIndex(std::size_t index, const platform::Value& defaultValue,
                                    WFValueClass valueClass) const;

private:
    // {"WFType": "ArrayBuffer", "data": <Base64>} arguments become byte buffers.
    void massageArguments();

    std::optional<std::string> callbackId_;
    std::string className_;
    std::string methodName_;
    platform::Value arguments_;
};

}  // namespace wharf
