#include "platform/Telephony.h"

#include "platform/NotificationCenter.h"

namespace wharf::platform {

namespace {

std::mutex& sharedMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<Telephony>& sharedSlot() {
    static std::shared_ptr<Telephony> telephony;
    return telephony;
}

}  // namespace

std::shared_ptr<Telephony> Telephony::shared() {
    std::lock_guard lock(sharedMutex());
    auto& slot = sharedSlot();
    if (!slot) slot = std::make_shared<SystemTelephony>();
    return slot;
}

void Telephony::setShared(std::shared_ptr<Telephony> telephony) {
    std::lock_guard lock(sharedMutex());
    sharedSlot() = std::move(telephony);
}

std::optional<std::string> FakeTelephony::currentRadioAccessTechnology() const {
    std::lock_guard lock(mutex_);
    return technology_;
}

void FakeTelephony::setRadioAccessTechnology(std::optional<std::string> technology) {
    {
        std::lock_guard lock(mutex_);
        if (technology_ == technology) return;
        technology_ = std::move(technology);
    }
    NotificationCenter::defaultCenter().post(CTRadioAccessTechnologyDidChangeNotification, this);
}

}  // namespace wharf::platform
