#pragma once
// The cellular radio: which access technology the data connection uses.
//
// On Linux the radios are modems that ModemManager runs: the system's
// telephony reads their access technologies from it over the system bus and
// posts the change notification when they change. Where ModemManager (or the
// system bus) does not run there is no radio and no technology. Tests install
// a fake that reports a technology and its changes the way the phone did.
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace wharf::platform {

// Radio access technologies, named as the phone names them.
inline constexpr const char* CTRadioAccessTechnologyGPRS = "CTRadioAccessTechnologyGPRS";
inline constexpr const char* CTRadioAccessTechnologyEdge = "CTRadioAccessTechnologyEdge";
inline constexpr const char* CTRadioAccessTechnologyWCDMA = "CTRadioAccessTechnologyWCDMA";
inline constexpr const char* CTRadioAccessTechnologyHSDPA = "CTRadioAccessTechnologyHSDPA";
inline constexpr const char* CTRadioAccessTechnologyHSUPA = "CTRadioAccessTechnologyHSUPA";
inline constexpr const char* CTRadioAccessTechnologyCDMA1x = "CTRadioAccessTechnologyCDMA1x";
inline constexpr const char* CTRadioAccessTechnologyCDMAEVDORev0 = "CTRadioAccessTechnologyCDMAEVDORev0";
inline constexpr const char* CTRadioAccessTechnologyCDMAEVDORevA = "CTRadioAccessTechnologyCDMAEVDORevA";
inline constexpr const char* CTRadioAccessTechnologyCDMAEVDORevB = "CTRadioAccessTechnologyCDMAEVDORevB";
inline constexpr const char* CTRadioAccessTechnologyeHRPD = "CTRadioAccessTechnologyeHRPD";
inline constexpr const char* CTRadioAccessTechnologyLTE = "CTRadioAccessTechnologyLTE";

// Posted on the default notification centre, object the Telephony, when the
// technology changes.
inline constexpr const char* CTRadioAccessTechnologyDidChangeNotification =
    "CTRadioAccessTechnologyDidChangeNotification";

class Telephony {
public:
    virtual ~Telephony() = default;
    // The technology of the current cellular data connection; nullopt without one.
    virtual std::optional<std::string> currentRadioAccessTechnology() const = 0;

    // The process's telephony: the system's unless a test replaced it.
    static std::shared_ptr<Telephony> shared();
    // nullptr restores the system's.
    static void setShared(std::shared_ptr<Telephony> telephony);
};

// ModemManager's modems, watched over the system bus: the technology of a
// connected modem (else of any modem that reports one), named as the phone
// names it; nullopt without a modem, without ModemManager or for a technology
// the phone has no name for (GSM without data). Made on any thread; its
// changes are posted on the main thread.
class SystemTelephony : public Telephony {
public:
    SystemTelephony();
    ~SystemTelephony() override;
    SystemTelephony(const SystemTelephony&) = delete;
    SystemTelephony& operator=(const SystemTelephony&) = delete;
    std::optional<std::string> currentRadioAccessTechnology() const override;

    struct Watch;

private:
    Watch* watch_ = nullptr;
};

// A radio whose technology tests set; every change posts the notification.
class FakeTelephony : public Telephony {
public:
    std::optional<std::string> currentRadioAccessTechnology() const override;
    void setRadioAccessTechnology(std::optional<std::string> technology);

private:
    mutable std::mutex mutex_;
    std::optional<std::string> technology_;
};

}  // namespace wharf::platform
