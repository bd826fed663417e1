#include "platform/SystemSound.h"

#include <canberra.h>

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

// One libcanberra context for the process, opened on the first sound. Where
// it cannot be opened (no sound server, no driver) it is not tried again.
class SoundPlayer {
public:
    // 0 when the sound went to the sound server, else libcanberra's error.
    int play(const std::string& event) {
        std::lock_guard lock(mutex_);
        if (!context_ && openError_ == 0) open();
        if (!context_) return openError_;
        return ca_context_play(context_, 0, CA_PROP_EVENT_ID, event.c_str(), CA_PROP_EVENT_DESCRIPTION, "system sound",
                               nullptr);
    }

private:
    void open() {
        int error = ca_context_create(&context_);
        if (error == CA_SUCCESS)
            error = ca_context_change_props(context_, CA_PROP_APPLICATION_NAME, "Wharf", CA_PROP_APPLICATION_ID,
                                            "wharf", nullptr);
        if (error == CA_SUCCESS) error = ca_context_open(context_);
        if (error == CA_SUCCESS) return;
        if (context_) ca_context_destroy(context_);
        context_ = nullptr;
        openError_ = error;
    }

    std::mutex mutex_;
    ca_context* context_ = nullptr;
    int openError_ = 0;
};

SoundPlayer& player() {
    static auto* p = new SoundPlayer;  // never destroyed: sounds may come from any thread at exit
    return *p;
}

}  // namespace

std::string soundEventForSystemSound(SystemSoundID soundID) {
    switch (soundID) {
    case 1004: return "message-new-instant";  // sent
    case 1005: return "dialog-warning";  // alarm
    case 1052: return "complete";
    case 1073: return "dialog-error";
    case 1103: return "message";  // tink
    case 1110: return "service-login";  // begin recording
    case 1112: return "service-logout";  // end recording
    default: return "bell";
    }
}

void AudioServicesPlaySystemSound(SystemSoundID soundID) {
    if (soundID == kSystemSoundID_Vibrate) {
        log("System sound %u: vibrate (no vibration motor on this device)", soundID);
    } else {
        const std::string event = soundEventForSystemSound(soundID);
        if (const int error = player().play(event); error != CA_SUCCESS)
            log("System sound %u (\"%s\" not played: %s)", soundID, event.c_str(), ca_strerror(error));
    }
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
