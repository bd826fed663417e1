#include "platform/gui/AppShell.h"

#include <glib-unix.h>
#include <gtk/gtk.h>

#include <cstdlib>
#include <exception>
#include <memory>

#include "platform/base/Log.h"
#include "platform/device/Application.h"
#include "platform/device/StatusBar.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/gui/StatusBarView.h"
#include "platform/gui/WebKitPrinter.h"

namespace wharf::platform {

struct AppShell::Impl {
    AppShell* owner = nullptr;
    AppShellOptions options;
    GtkApplication* app = nullptr;
    GtkWidget* window = nullptr;
    // The window's child: the content below the status bar's strip.
    std::unique_ptr<StatusBarView> statusBar;
    AppShellDelegate* delegate = nullptr;
    GMemoryMonitor* memoryMonitor = nullptr;
    std::vector<std::string> pendingURLs;
    guint signalSources[2] = {0, 0};
    bool launched = false;
    bool terminating = false;
    int status = 0;
    int lastWidth = -1, lastHeight = -1;
};

namespace {

template <class F>
void guarded(const char* what, F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        log("%s threw: %s", what, e.what());
    } catch (...) {
        log("%s threw an unknown exception", what);
    }
}

void deliverURLs(AppShell::Impl* impl) {
    auto urls = std::move(impl->pendingURLs);
    impl->pendingURLs.clear();
    for (auto& url : urls) guarded("openURL", [&] { impl->delegate->openURL(url); });
}

// On the next turn of the main loop, once the launch or hand-over is done.
void deliverFetchLater() {
    RunLoop::performOnMain([] { guarded("background fetch", [] { Application::shared().performBackgroundFetch(); }); });
}

void terminate(AppShell::Impl* impl) {
    if (impl->terminating) return;
    impl->terminating = true;
    guarded("will terminate", [] { Application::shared().postWillTerminate(); });
    if (impl->window) gtk_widget_destroy(impl->window);
    impl->window = nullptr;
    impl->statusBar.reset();
    g_application_quit(G_APPLICATION(impl->app));
}

void updateState(AppShell::Impl* impl) {
    if (!impl->window) return;
    GdkWindow* gdk = gtk_widget_get_window(impl->window);
    bool iconified = gdk && (gdk_window_get_state(gdk) & GDK_WINDOW_STATE_ICONIFIED);
    // A window never shown (a launch into the background) is not on screen either.
    bool hidden = !impl->terminating && !gtk_widget_get_visible(impl->window);
    bool active = gtk_window_is_active(GTK_WINDOW(impl->window));
    ApplicationState state = iconified || hidden ? ApplicationState::Background
                             : active            ? ApplicationState::Active
                                                 : ApplicationState::Inactive;
    guarded("state change", [&] { Application::shared().setState(state); });
}

ViewEvents* events(AppShell::Impl* impl) { return impl->owner->viewEvents(); }

void buildWindow(AppShell::Impl* impl) {
    impl->window = gtk_application_window_new(impl->app);
    gtk_window_set_title(GTK_WINDOW(impl->window), impl->options.title.c_str());
    gtk_window_set_default_size(GTK_WINDOW(impl->window), impl->options.width, impl->options.height);
    impl->statusBar = std::make_unique<StatusBarView>(StatusBar::shared());
    gtk_container_add(GTK_CONTAINER(impl->window), impl->statusBar->widget());

    g_signal_connect(
        impl->window, "notify::is-active",
        G_CALLBACK(+[](GObject*, GParamSpec*, gpointer d) { updateState(static_cast<AppShell::Impl*>(d)); }), impl);
    g_signal_connect(impl->window, "window-state-event",
                     G_CALLBACK(+[](GtkWidget*, GdkEventWindowState*, gpointer d) -> gboolean {
                         updateState(static_cast<AppShell::Impl*>(d));
                         return FALSE;
                     }),
                     impl);
    g_signal_connect(impl->window, "map", G_CALLBACK(+[](GtkWidget*, gpointer d) {
                         auto* impl = static_cast<AppShell::Impl*>(d);
                         if (auto* ev = events(impl)) {
                             guarded("viewWillAppear", [&] { ev->viewWillAppear(); });
                             guarded("viewDidAppear", [&] { ev->viewDidAppear(); });
                         }
                     }),
                     impl);
    g_signal_connect(impl->window, "unmap", G_CALLBACK(+[](GtkWidget*, gpointer d) {
                         auto* impl = static_cast<AppShell::Impl*>(d);
                         if (auto* ev = events(impl)) {
                             guarded("viewWillDisappear", [&] { ev->viewWillDisappear(); });
                             guarded("viewDidDisappear", [&] { ev->viewDidDisappear(); });
                         }
                     }),
                     impl);
    g_signal_connect(impl->window, "size-allocate", G_CALLBACK(+[](GtkWidget*, GdkRectangle* r, gpointer d) {
                         auto* impl = static_cast<AppShell::Impl*>(d);
                         auto* ev = events(impl);
                         if (!ev) return;
                         if (r->width != impl->lastWidth || r->height != impl->lastHeight) {
                             if (impl->lastWidth >= 0)
                                 guarded("viewWillTransitionToSize",
                                         [&] { ev->viewWillTransitionToSize(r->width, r->height); });
                             impl->lastWidth = r->width;
                             impl->lastHeight = r->height;
                         }
                         guarded("viewWillLayoutSubviews", [&] { ev->viewWillLayoutSubviews(); });
                         guarded("viewDidLayoutSubviews", [&] { ev->viewDidLayoutSubviews(); });
                     }),
                     impl);
    g_signal_connect(impl->window, "delete-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer d) -> gboolean {
                         terminate(static_cast<AppShell::Impl*>(d));
                         return TRUE;
                     }),
                     impl);
}

void launch(AppShell::Impl* impl) {
    if (impl->launched) return;
    impl->launched = true;
    buildWindow(impl);
    installWebKitPrinter();
    bool ok = false;
    guarded("didFinishLaunching", [&] { ok = impl->delegate->didFinishLaunching(); });
    if (!ok) {
        impl->status = 1;
        terminate(impl);
        return;
    }
    if (impl->options.launchInBackground) {
        // The content is ready to appear the moment a later launch presents the window.
        gtk_container_foreach(
            GTK_CONTAINER(impl->window), [](GtkWidget* child, gpointer) { gtk_widget_show_all(child); }, nullptr);
    } else {
        gtk_widget_show_all(impl->window);
    }
    guarded("did finish launching", [] { Application::shared().postDidFinishLaunching(); });
    deliverURLs(impl);
    if (impl->options.launchInBackground) deliverFetchLater();
}

gboolean onTerminateSignal(gpointer d) {
    terminate(static_cast<AppShell::Impl*>(d));
    return G_SOURCE_CONTINUE;
}

int onCommandLine(GApplication*, GApplicationCommandLine* cmdline, gpointer d) {
    auto* impl = static_cast<AppShell::Impl*>(d);
    gint argc = 0;
    gchar** argv = g_application_command_line_get_arguments(cmdline, &argc);
    bool fetch = false;
    for (int i = 1; i < argc; ++i) {
        if (g_strcmp0(argv[i], "--open-url") == 0 && i + 1 < argc)
            impl->pendingURLs.emplace_back(argv[++i]);
        else if (g_strcmp0(argv[i], "--background-fetch") == 0)
            fetch = true;
    }
    g_strfreev(argv);
    if (!impl->launched) {
        launch(impl);
    } else if (fetch) {
        // A running application is woken for the fetch where it is, not shown.
        deliverURLs(impl);
        deliverFetchLater();
    } else {
        if (impl->window) gtk_window_present(GTK_WINDOW(impl->window));
        deliverURLs(impl);
    }
    return impl->status;
}

}  // namespace

AppShell::AppShell(AppShellOptions options) : impl_(new Impl) {
    impl_->owner = this;
    impl_->options = std::move(options);
}

AppShell::~AppShell() {
    for (guint id : impl_->signalSources)
        if (id) g_source_remove(id);
    if (impl_->memoryMonitor) g_object_unref(impl_->memoryMonitor);
    if (impl_->app) g_object_unref(impl_->app);
    delete impl_;
}

int AppShell::run(AppShellDelegate& delegate, const std::vector<std::string>& openURLs) {
    impl_->delegate = &delegate;
    // Known before anything launches, so that whoever asks at launch hears it.
    if (impl_->options.launchInBackground) Application::shared().setState(ApplicationState::Background);
    bool unique = impl_->options.unique && g_getenv("DBUS_SESSION_BUS_ADDRESS") != nullptr;
    auto flags =
        static_cast<GApplicationFlags>(G_APPLICATION_HANDLES_COMMAND_LINE | (unique ? 0 : G_APPLICATION_NON_UNIQUE));
    const char* appId = g_application_id_is_valid(impl_->options.applicationId.c_str())
                            ? impl_->options.applicationId.c_str()
                            : nullptr;
    impl_->app = gtk_application_new(appId, flags);
    g_signal_connect(impl_->app, "command-line", G_CALLBACK(&onCommandLine), impl_);

    impl_->signalSources[0] = g_unix_signal_add(SIGTERM, &onTerminateSignal, impl_);
    impl_->signalSources[1] = g_unix_signal_add(SIGINT, &onTerminateSignal, impl_);
    impl_->memoryMonitor = g_memory_monitor_dup_default();
    if (impl_->memoryMonitor)
        g_signal_connect(impl_->memoryMonitor, "low-memory-warning",
                         G_CALLBACK(+[](GMemoryMonitor*, GMemoryMonitorWarningLevel, gpointer d) {
                             auto* impl = static_cast<AppShell::Impl*>(d);
                             guarded("memory warning", [&] {
                                 Application::shared().postMemoryWarning();
                                 impl->delegate->didReceiveMemoryWarning();
                             });
                         }),
                         impl_);

    // The URLs travel as a command line, so that a second launch hands them to
    // the running instance the same way.
    std::vector<std::string> args{"wharf"};
    if (impl_->options.launchInBackground) args.emplace_back("--background-fetch");
    for (auto& url : openURLs) {
        args.emplace_back("--open-url");
        args.push_back(url);
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int rc = g_application_run(G_APPLICATION(impl_->app), static_cast<int>(args.size()), argv.data());
    return impl_->status ? impl_->status : rc;
}

void AppShell::quit(int status) {
    impl_->status = status;
    terminate(impl_);
}

GtkWidget* AppShell::window() const { return impl_->window; }

void AppShell::setContent(GtkWidget* widget) {
    if (!impl_->window || !impl_->statusBar) return;
    impl_->statusBar->setContent(widget);
}

namespace {

struct WindowSnapshot {
    GtkWidget* window;
    gulong handler = 0;
    std::string path;
    std::function<void(bool)> done;
};

gboolean saveWindow(gpointer data) {
    std::unique_ptr<WindowSnapshot> job(static_cast<WindowSnapshot*>(data));
    bool ok = false;
    if (GdkWindow* gdk = gtk_widget_get_window(job->window)) {
        GdkPixbuf* pixbuf =
            gdk_pixbuf_get_from_window(gdk, 0, 0, gdk_window_get_width(gdk), gdk_window_get_height(gdk));
        if (pixbuf) {
            ok = gdk_pixbuf_save(pixbuf, job->path.c_str(), "png", nullptr, nullptr);
            g_object_unref(pixbuf);
        }
    }
    g_object_unref(job->window);
    if (job->done) guarded("window snapshot completion", [&] { job->done(ok); });
    return G_SOURCE_REMOVE;
}

void afterPaint(GdkFrameClock* clock, gpointer data) {
    auto* job = static_cast<WindowSnapshot*>(data);
    g_signal_handler_disconnect(clock, job->handler);
    g_idle_add(&saveWindow, job);
}

}  // namespace

void AppShell::snapshotWindow(const std::string& pngPath, std::function<void(bool)> done) {
    GdkWindow* gdk = impl_->window ? gtk_widget_get_window(impl_->window) : nullptr;
    GdkFrameClock* clock = gdk ? gdk_window_get_frame_clock(gdk) : nullptr;
    if (!clock) {
        if (done) done(false);
        return;
    }
    // What the screen shows once the window has painted its next frame.
    auto* job = new WindowSnapshot{GTK_WIDGET(g_object_ref(impl_->window)), 0, pngPath, std::move(done)};
    job->handler = g_signal_connect(clock, "after-paint", G_CALLBACK(&afterPaint), job);
    gtk_widget_queue_draw(impl_->window);
}

}  // namespace wharf::platform
