#include "platform/device/SystemSound.h"

#include <canberra.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <utility>

#include "platform/base/LoadedLibrary.h"
#include "platform/base/Log.h"

namespace wharf::platform {

namespace {

// libcanberra is loaded with the first sound: linked in, it and the libraries
// it brings (sound-file decoders among them) were loaded with every launch,
// before the window showed, for sounds only the debug narration makes.
struct Canberra {
    decltype(&ca_context_create) create = nullptr;
    decltype(&ca_context_destroy) destroy = nullptr;
    decltype(&ca_context_open) open = nullptr;
    decltype(&ca_context_change_props_full) changeProps = nullptr;
    decltype(&ca_context_play_full) play = nullptr;
    decltype(&ca_proplist_create) proplistCreate = nullptr;
    decltype(&ca_proplist_destroy) proplistDestroy = nullptr;
    decltype(&ca_proplist_sets) proplistSets = nullptr;
    decltype(&ca_strerror) strerror = nullptr;
    std::string failure;  // why it is not there
};

const Canberra& canberra() {
    static const Canberra loaded = [] {
        Canberra c;
        LoadedLibrary library(WHARF_CANBERRA_LIBRARY);
        library.find(c.create, "ca_context_create");
        library.find(c.destroy, "ca_context_destroy");
        library.find(c.open, "ca_context_open");
        library.find(c.changeProps, "ca_context_change_props_full");
        library.find(c.play, "ca_context_play_full");
        library.find(c.proplistCreate, "ca_proplist_create");
        library.find(c.proplistDestroy, "ca_proplist_destroy");
        library.find(c.proplistSets, "ca_proplist_sets");
        library.find(c.strerror, "ca_strerror");
        c.failure = library.failure();
        return c;
    }();
    return loaded;
}

// A property list of (key, value) pairs, for libcanberra's calls that take one.
class Properties {
public:
    Properties(std::initializer_list<std::pair<const char*, const char*>> pairs) {
        if (canberra().proplistCreate(&list_) != CA_SUCCESS) return;
        for (const auto& [key, value] : pairs) canberra().proplistSets(list_, key, value);
    }
    ~Properties() {
        if (list_) canberra().proplistDestroy(list_);
    }
    Properties(const Properties&) = delete;
    Properties& operator=(const Properties&) = delete;
    ca_proplist* get() const { return list_; }

private:
    ca_proplist* list_ = nullptr;
};

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
        Properties properties{{CA_PROP_EVENT_ID, event.c_str()}, {CA_PROP_EVENT_DESCRIPTION, "system sound"}};
        if (!properties.get()) return CA_ERROR_OOM;
        return canberra().play(context_, 0, properties.get(), nullptr, nullptr);
    }

private:
    void open() {
        if (!canberra().failure.empty()) {
            openError_ = CA_ERROR_NOTAVAILABLE;
            return;
        }
        int error = canberra().create(&context_);
        if (error == CA_SUCCESS) {
            Properties properties{{CA_PROP_APPLICATION_NAME, "Wharf"}, {CA_PROP_APPLICATION_ID, "wharf"}};
            error = properties.get() ? canberra().changeProps(context_, properties.get()) : CA_ERROR_OOM;
        }
        if (error == CA_SUCCESS) error = canberra().open(context_);
        if (error == CA_SUCCESS) return;
        if (context_) canberra().destroy(context_);
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
            log("System sound %u (\"%s\" not played: %s)", soundID, event.c_str(),
                canberra().failure.empty() ? canberra().strerror(error) : canberra().failure.c_str());
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
