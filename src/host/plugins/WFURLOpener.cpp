#include "host/plugins/WFURLOpener.h"

#include <gio/gio.h>

#include "platform/base/Log.h"

namespace wharf {

namespace {

std::mutex& sharedMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<WFURLOpener>& sharedOpener() {
    static std::shared_ptr<WFURLOpener> opener;
    return opener;
}

void launched(GObject*, GAsyncResult* result, gpointer data) {
    char* uri = static_cast<char*>(data);
    GError* error = nullptr;
    if (!g_app_info_launch_default_for_uri_finish(result, &error)) {
        platform::log("Could not open %s: %s", uri, error ? error->message : "no application");
        if (error) g_error_free(error);
    }
    g_free(uri);
}

}  // namespace

std::shared_ptr<WFURLOpener> WFURLOpener::shared() {
    std::lock_guard lock(sharedMutex());
    auto& opener = sharedOpener();
    if (!opener) opener = std::make_shared<WFSystemURLOpener>();
    return opener;
}

void WFURLOpener::setShared(std::shared_ptr<WFURLOpener> opener) {
    std::lock_guard lock(sharedMutex());
    sharedOpener() = std::move(opener);
}

void WFSystemURLOpener::openURL(const platform::Url& url) {
    const std::string& uri = url.absoluteString();
    g_app_info_launch_default_for_uri_async(uri.c_str(), nullptr, nullptr, &launched, g_strdup(uri.c_str()));
}

void WFRecordingURLOpener::openURL(const platform::Url& url) {
    std::lock_guard lock(mutex_);
    urls_.push_back(url.absoluteString());
}

std::vector<std::string> WFRecordingURLOpener::openedURLs() const {
    std::lock_guard lock(mutex_);
    return urls_;
}

}  // namespace wharf
