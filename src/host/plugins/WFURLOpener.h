#pragma once
// Hands a URL to the system to be opened by another application (an intent):
// GIO's default handler for the URI's scheme. Tests install a recording opener.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/base/Url.h"

namespace wharf {

class WFURLOpener {
public:
    virtual ~WFURLOpener() = default;
    // Asynchronous; the system's answer is not awaited (a failure is logged).
    virtual void openURL(const platform::Url& url) = 0;

    static std::shared_ptr<WFURLOpener> shared();
    // nullptr puts the system opener back.
    static void setShared(std::shared_ptr<WFURLOpener> opener);
};

class WFSystemURLOpener : public WFURLOpener {
public:
    void openURL(const platform::Url& url) override;
};

// Keeps the URLs instead of opening them.
class WFRecordingURLOpener : public WFURLOpener {
public:
    void openURL(const platform::Url& url) override;
    std::vector<std::string> openedURLs() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> urls_;
};

}  // namespace wharf
