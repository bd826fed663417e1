#pragma once
// The exception the Nimbus core raises for a caller's configuration fault: a
// name (the core's error domain "com.rovude.nimbus.core", or another name for
// other faults) and the reason text.
#include <stdexcept>
#include <string>

namespace wharf {

inline constexpr const char* kNBCoreErrorDomain = "com.rovude.nimbus.core";

class NBException : public std::runtime_error {
public:
    NBException(std::string name, const std::string& reason) : std::runtime_error(reason), name_(std::move(name)) {}
    // An exception named after the core's error domain.
    explicit NBException(const std::string& reason) : NBException(kNBCoreErrorDomain, reason) {}

    const std::string& name() const { return name_; }
    std::string reason() const { return what(); }

private:
    std::string name_;
};

}  // namespace wharf
