#pragma once
// System sounds and vibration. A sound is played through the desktop's event
// sounds (libcanberra) where a sound server runs, the phone's identifiers
// mapped to the freedesktop sound theme's events; where none runs, or the
// sound cannot be played, the request is logged instead. A desktop has no
// vibration motor: a vibration is only logged. Every request is handed to
// whoever records requests (tests).
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace wharf::platform {

using SystemSoundID = uint32_t;
// The identifier that makes the phone vibrate.
inline constexpr SystemSoundID kSystemSoundID_Vibrate = 4095;

// Returns at once; nothing is reported back.
void AudioServicesPlaySystemSound(SystemSoundID soundID);

// The sound theme event that stands for a phone's sound identifier.
std::string soundEventForSystemSound(SystemSoundID soundID);

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
