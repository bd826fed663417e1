#include "app/WharfMain.h"

#include <gtk/gtk.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "app/AppDelegate.h"
#include "app/DevicePlugins.h"
#include "host/WFLocalStorage.h"
#include "host/WFUIWebViewEngine.h"
#include "host/WFUserAgentUtil.h"
#include "nimbus/core/DORIzurizava.h"
#include "nimbus/core/NBLogger.h"
#include "nimbus/eventlog/NBDiagnostics.h"
#include "nimbus/network/NBNetwork.h"
#include "platform/base/Error.h"
#include "platform/base/Log.h"
#include "platform/device/Application.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/gui/AppShell.h"
#include "platform/gui/Pasteboard.h"
#include "platform/gui/WebView.h"
#include "platform/location/LocationSource.h"
#include "platform/storage/Bundle.h"
#include "platform/storage/Container.h"
#ifdef WHARF_HAS_HOST_PLUGINS
#include "host/plugins/WFHostPlugins.h"
#endif

#ifndef WHARF_DEMO_BUNDLE_DIR
#define WHARF_DEMO_BUNDLE_DIR "examples/demo"
#endif

namespace wharf {

namespace {

platform::AppShell* gShell = nullptr;

// How long a --screenshot run waits for the page before giving up.
constexpr std::chrono::seconds kScreenshotDeadline{60};
// Time for the loaded page to run its start-up calls and be painted before
// the snapshot (unless --screenshot-delay gives the page longer).
constexpr std::chrono::milliseconds kPaintDelay{1000};

struct Options {
    std::string bundle;
    std::string home;
    std::vector<std::string> openURLs;
    std::string screenshot;
    std::chrono::milliseconds screenshotDelay = kPaintDelay;
    bool backgroundFetch = false;
    std::string location;
};

void usage(FILE* out) {
    std::fprintf(
        out, "usage: wharf [--bundle DIR] [--home DIR] [--open-url URL]... [--screenshot PATH] [--background-fetch]\n"
             "             [--screenshot-delay MS] [--location gpsd://HOST:PORT | replay:FILE | none]\n");
}

// false (after a message) for an unknown option or a missing value.
bool parseOptions(int argc, char** argv, Options& options, bool& help) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "wharf: %s needs a value\n", arg.c_str());
                return false;
            }
            into = argv[++i];
            return true;
        };
        if (arg == "--help" || arg == "-h") {
            help = true;
        } else if (arg == "--bundle") {
            if (!value(options.bundle)) return false;
        } else if (arg == "--home") {
            if (!value(options.home)) return false;
        } else if (arg == "--screenshot") {
            if (!value(options.screenshot)) return false;
        } else if (arg == "--screenshot-delay") {
            std::string ms;
            if (!value(ms)) return false;
            char* end = nullptr;
            const long delay = std::strtol(ms.c_str(), &end, 10);
            if (ms.empty() || *end || delay < 0 || delay > 600000) {
                std::fprintf(stderr, "wharf: --screenshot-delay takes milliseconds (0 to 600000)\n");
                return false;
            }
            options.screenshotDelay = std::chrono::milliseconds(delay);
        } else if (arg == "--location") {
            if (!value(options.location)) return false;
        } else if (arg == "--open-url") {
            std::string url;
            if (!value(url)) return false;
            options.openURLs.push_back(url);
        } else if (arg == "--background-fetch") {
            options.backgroundFetch = true;
        } else if (arg.rfind("-NB", 0) == 0) {
            // Launch arguments read by the Nimbus core logger.
        } else {
            std::fprintf(stderr, "wharf: unknown option %s\n", arg.c_str());
            return false;
        }
    }
    return true;
}

std::string defaultBundle() {
    // Next to an installed binary first, then the source tree's demo.
    char self[4096];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = '\0';
        std::string dir(self);
        dir = dir.substr(0, dir.rfind('/'));
        std::string candidate = dir + "/../share/wharf/demo";
        if (::access((candidate + "/config.xml").c_str(), R_OK) == 0) return candidate;
    }
    return WHARF_DEMO_BUNDLE_DIR;
}

// The positions the application gets: --location, else the bundle's own
// "WharfLocation" (whose replay track must lie in the bundle), else gpsd here.
bool chooseLocationSource(const std::string& option, const platform::Bundle& bundle) {
    std::string wanted = option;
    auto fromBundle = bundle.objectForInfoDictionaryKey("WharfLocation");
    if (wanted.empty() && fromBundle.is_string()) {
        wanted = fromBundle.get<std::string>();
        if (wanted.rfind("replay:", 0) == 0) {
            auto track = bundle.pathForResource(wanted.substr(7));
            if (!track) {
                std::fprintf(stderr, "wharf: WharfLocation names no track inside the bundle: %s\n", wanted.c_str());
                return false;
            }
            wanted = "replay:" + *track;
        }
    }
    if (wanted.empty()) return true;
    platform::Error error;
    auto source = platform::LocationSource::fromOption(wanted, "", &error);
    if (!source) {
        std::fprintf(stderr, "wharf: location source: %s\n", error.localizedDescription().c_str());
        return false;
    }
    platform::LocationSource::setShared(source);
    return true;
}

void registerClasses(const std::function<void()>& extra) {
    DORIzurizava::registerClass();
    NBLoggerWrapper::registerClass();
#ifdef WHARF_HAS_HOST_PLUGINS
    registerHostPlugins();
#endif
    registerDevicePlugins();
    WFUIWebViewEngine::registerClass();
    AppDelegate::registerClasses();
    if (extra) extra();
}

// Saves a PNG of the page once it has loaded, prints its path and quits.
class ScreenshotRun {
public:
    ScreenshotRun(std::string path, std::chrono::milliseconds delay, std::shared_ptr<AppDelegate> delegate)
        : path_(std::move(path)), delegate_(std::move(delegate)) {
        token_ = platform::NotificationCenter::defaultCenter().addObserver(
            WFPageDidLoadNotification, nullptr, [this, delay](const platform::Notification&) {
                if (taken_) return;
                taken_ = true;
                platform::RunLoop::performAfter(delay, [this] { take(); });
            });
        platform::RunLoop::performAfter(kScreenshotDeadline + delay, [this] {
            if (done_) return;
            std::fprintf(stderr, "wharf: the page did not load within %lld s; no screenshot\n",
                         static_cast<long long>(kScreenshotDeadline.count()));
            wharfQuit(1);
        });
    }

private:
    void take() {
        auto controller = delegate_->viewController();
        if (!controller || !controller->webView() || !gShell) {
            wharfQuit(1);
            return;
        }
        // The whole window: the status bar's strip too.
        gShell->snapshotWindow(path_, [this](bool ok) {
            done_ = true;
            if (ok) {
                std::printf("%s\n", path_.c_str());
                std::fflush(stdout);
            } else {
                std::fprintf(stderr, "wharf: could not write the screenshot %s\n", path_.c_str());
            }
            wharfQuit(ok ? 0 : 1);
        });
    }

    std::string path_;
    std::shared_ptr<AppDelegate> delegate_;
    platform::ObserverToken token_;
    bool taken_ = false;
    bool done_ = false;
};

}  // namespace

void wharfQuit(int status) {
    if (gShell) gShell->quit(status);
}

int wharfMain(int argc, char** argv, const std::function<void()>& registerExtraClasses) {
    // A log line written to a closed pipe (stderr into a pager that was quit)
    // must fail that write, not end the application.
    std::signal(SIGPIPE, SIG_IGN);
    platform::Application::shared().setLaunchArguments(argc, argv);
    Options options;
    bool help = false;
    if (!parseOptions(argc, argv, options, help)) {
        usage(stderr);
        return 2;
    }
    if (help) {
        usage(stdout);
        return 0;
    }
    try {
        platform::RunLoop::initMainThread();
        if (!options.home.empty()) {
            if (!platform::Container::ensureDirectory(options.home)) {
                std::fprintf(stderr, "wharf: cannot use %s as the home directory\n", options.home.c_str());
                return 1;
            }
            platform::Container::setHome(options.home);
        }
        const std::string bundlePath = options.bundle.empty() ? defaultBundle() : options.bundle;
        platform::Error error;
        auto bundle = platform::Bundle::open(bundlePath, &error);
        if (!bundle) {
            std::fprintf(stderr, "wharf: cannot open the bundle %s: %s\n", bundlePath.c_str(),
                         error.localizedDescription().c_str());
            return 1;
        }
        platform::Bundle::setMainBundle(bundle);
        if (!chooseLocationSource(options.location, *bundle)) return 2;
        registerClasses(registerExtraClasses);
        // Diagnostics hear of every Nimbus configuration.
        NBDiagnostics::load();
        // Background uploads an earlier run left unanswered go out again, from
        // the instance that owns the container only: a second launch hands its
        // command line over to the running one and never finishes launching.
        platform::ObserverToken resumeUploads = platform::NotificationCenter::defaultCenter().addObserver(
            platform::kUIApplicationDidFinishLaunchingNotification, nullptr,
            [](const platform::Notification&) { NBNetwork::resumeBackgroundUploads(); });

        auto delegate = std::make_shared<AppDelegate>();
        // The web context is created with the first web view, after the start-up
        // fix-up of web storage has chosen where the engine keeps it.
        WFUIWebViewEngine::setWebViewFactory([](WFRect) {
            platform::WebContextOptions contextOptions = WFAppDelegate::webContextOptions();
            const WFWebStorageLocation storage = WFLocalStorage::webStorageLocation();
            if (!storage.localStorageDirectory.empty())
                contextOptions.localStorageDirectory = storage.localStorageDirectory;
            if (!storage.dataDirectory.empty()) contextOptions.dataDirectory = storage.dataDirectory;
            return platform::createWebKitWebView(contextOptions);
        });
        WFUserAgentUtil::setUserAgentProvider([] { return platform::webKitDefaultUserAgent(); });
        platform::Application::shared().setDelegate(delegate.get());

        platform::AppShellOptions shellOptions;
        std::string bundleId = bundle->bundleIdentifier();
        if (!bundleId.empty()) shellOptions.applicationId = bundleId;
        auto name = bundle->objectForInfoDictionaryKey("CFBundleName");
        if (name.is_string()) shellOptions.title = name.get<std::string>();
        // A screenshot run is a one-off: it never hands over to a running instance.
        if (!options.screenshot.empty()) shellOptions.unique = false;
        // Woken for a fetch, as the phone wakes an application: hidden, in the background.
        shellOptions.launchInBackground = options.backgroundFetch;
        platform::AppShell shell(shellOptions);
        gShell = &shell;
        auto pasteboard = platform::createGtkPasteboard();
        platform::Pasteboard::setGeneral(pasteboard.get());
        delegate->setWindow(&shell);
        std::unique_ptr<ScreenshotRun> screenshot;
        if (!options.screenshot.empty())
            screenshot = std::make_unique<ScreenshotRun>(options.screenshot, options.screenshotDelay, delegate);

        // The phone ends an application that overruns a fetch; on a desktop
        // only a launch into the background ends so, while its window was
        // never shown.
        platform::Application::shared().setBackgroundFetchExpirationHandler([&shell] {
            if (!shell.window() || gtk_widget_get_visible(shell.window())) return;
            platform::log("The launch into the background ends: its fetch was not completed in time");
            shell.quit(0);
        });
        int status = shell.run(*delegate, options.openURLs);
        platform::Application::shared().setBackgroundFetchExpirationHandler(nullptr);
        platform::Pasteboard::setGeneral(nullptr);
        gShell = nullptr;
        platform::Application::shared().setDelegate(nullptr);
        return status;
    } catch (const platform::FatalConfigurationError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "wharf: %s\n", e.what());
        return 1;
    }
}

}  // namespace wharf
