#pragma once
// The GTK side of the application object: one top-level window, its events
// turned into the application's life-cycle and the view's appearance events,
// SIGTERM and low-memory warnings, and open-URL requests from a second launch.
#include <functional>
#include <string>
#include <vector>

typedef struct _GtkWidget GtkWidget;

namespace wharf::platform {

// What a root view hears of its window.
class ViewEvents {
public:
    virtual ~ViewEvents() = default;
    virtual void viewWillAppear() {}
    virtual void viewDidAppear() {}
    virtual void viewWillDisappear() {}
    virtual void viewDidDisappear() {}
    virtual void viewWillLayoutSubviews() {}
    virtual void viewDidLayoutSubviews() {}
    virtual void viewWillTransitionToSize(int /*width*/, int /*height*/) {}
};

class AppShellDelegate {
public:
    virtual ~AppShellDelegate() = default;
    // Launch: the window exists (not yet shown). Answer false to end with status 1.
    virtual bool didFinishLaunching() = 0;
    // An open-URL request (from --open-url of this or a later launch).
    virtual bool openURL(const std::string& url) = 0;
    virtual void didReceiveMemoryWarning() {}
};

struct AppShellOptions {
    std::string applicationId = "org.wharf.Host";
    int width = 1024;
    int height = 768;
    std::string title = "Wharf";
    // Register as the unique instance on the session bus, so that a second
    // launch hands its --open-url to this one. Off where no session bus runs.
    bool unique = true;
    // Launch the way the phone wakes an application for a background fetch:
    // in the background state, the window hidden (a later launch shows it),
    // with one fetch event delivered once launched.
    bool launchInBackground = false;
};

class AppShell {
public:
    explicit AppShell(AppShellOptions options);
    ~AppShell();
    AppShell(const AppShell&) = delete;
    AppShell& operator=(const AppShell&) = delete;

    // Runs the application until quit(). `openURLs` are delivered after launch.
    int run(AppShellDelegate& delegate, const std::vector<std::string>& openURLs = {});
    void quit(int status = 0);

    // The top-level window and its content.
    GtkWidget* window() const;
    void setContent(GtkWidget* widget);
    void setViewEvents(ViewEvents* events) { viewEvents_ = events; }
    ViewEvents* viewEvents() const { return viewEvents_; }

    // Writes a PNG of what the window shows (status bar and web view) once it
    // has painted its next frame; `done(true)` on success.
    void snapshotWindow(const std::string& pngPath, std::function<void(bool)> done);

    struct Impl;

private:
    Impl* impl_;
    ViewEvents* viewEvents_ = nullptr;
};

}  // namespace wharf::platform
