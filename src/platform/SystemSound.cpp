#include "platform/SystemSound.h"

#include <algorithm>

#include "platform/Log.h"

namespace wharf::platform {

namespace {

std::mutex& capturesMutex() {
    static std::mutex mutex;
    return mutex;
}

std::vector<SystemSoundCapture*>& captures() {
    static std::vector<SystemSoundCapture*> list;
    return list;
}

}  // namespace

void AudioServicesPlaySystemSound(SystemSoundID soundID) {
    if (soundID == kSystemSoundID_Vibrate)
        log("System sound %u: vibrate (no vibration motor on this device)", soundID);
    else
        log("System sound %u (no sound for this identifier on this device)", soundID);
    std::lock_guard lock(capturesMutex());
    for (SystemSoundCapture* capture : captures()) {
        std::lock_guard inner(capture->mutex_);
        capture->played_.push_back(soundID);
    }
}

SystemSoundCapture::SystemSoundCapture() {
    std::lock_guard lock(capturesMutex());
    captures().push_back(this);
}

SystemSoundCapture::~SystemSoundCapture() {
    std::lock_guard lock(capturesMutex());
    auto& list = captures();
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

std::vector<SystemSoundID> SystemSoundCapture::played() const {
    std::lock_guard lock(mutex_);
    return played_;
}

}  // namespace wharf::platform
