#pragma once
// System sounds and vibration. A desktop has no vibration motor and the
// phone's sound identifiers name no sound here: a request is logged and
// handed to whoever records requests (tests).
#include <cstdint>
#include <mutex>
#include <vector>

namespace wharf::platform {

using SystemSoundID = uint32_t;
// The identifier that makes the phone vibrate.
inline constexpr SystemSoundID kSystemSoundID_Vibrate = 4095;

// Returns at once; nothing is reported back.
void AudioServicesPlaySystemSound(SystemSoundID soundID);

// While alive, keeps every sound requested. Several may be alive at once.
class SystemSoundCapture {
public:
    SystemSoundCapture();
    ~SystemSoundCapture();
    SystemSoundCapture(const SystemSoundCapture&) = delete;
    SystemSoundCapture& operator=(const SystemSoundCapture&) = delete;

    std::vector<SystemSoundID> played() const;

private:
    friend void AudioServicesPlaySystemSound(SystemSoundID);
    mutable std::mutex mutex_;
    std::vector<SystemSoundID> played_;
};

}  // namespace wharf::platform
