// The real application with the host's built-in plug-ins: the navigation
// filter against a loopback server, intents through the system's URL handler,
// the console plug-in, open-URL delivery, and web storage surviving the loss
// of its live files.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ServingThread.h"
#include "TestSupport.h"
#include "platform/storage/Xattr.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using wharf::test::readFile;
using wharf::test::TempDir;
using wharf::test::writeFile;

// The page's bridge script of the demo bundle.
std::string bridgeScript() { return readFile((fs::path(WHARF_SOURCE_DIR) / "examples/demo/www/wharf.js").string()); }

// Routes console.log through the console plug-in, as a web application's
// console module does.
constexpr const char* kConsoleRouting =
    "console.log = function (m) { wharf.exec(null, null, 'Console', 'logLevel', ['LOG', String(m)]); };";

struct Bundle {
    std::string path;
    Bundle(const std::string& root, const std::string& identifier, const std::string& configBody,
           const std::string& pageScript) {
        path = root + "/app";
        fs::create_directories(path + "/www");
        writeFile(path + "/Info.plist", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                                        "<key>CFBundleIdentifier</key><string>" +
                                            identifier +
                                            "</string>"
                                            "<key>CFBundleName</key><string>E2E</string></dict></plist>\n");
        writeFile(path + "/config.xml",
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<widget id=\"" + identifier +
                      "\" version=\"1.0\">\n"
                      "<content src=\"index.html\"/>\n"
                      "<feature name=\"Console\"><param name=\"ios-package\" value=\"WFLogger\"/></feature>\n" +
                      configBody + "</widget>\n");
        writeFile(path + "/www/wharf.js", bridgeScript());
        writeFile(path + "/www/index.html", "<!DOCTYPE html><html><head><script src=\"wharf.js\"></script><script>" +
                                                std::string(kConsoleRouting) + pageScript +
                                                "</script></head><body></body></html>\n");
    }
};

// The application as a child process; its log goes to a file.
class App {
public:
    App(const std::string& bundle, const std::string& home, const std::string& logPath,
        const std::vector<std::string>& extraArgs = {}, const std::vector<std::string>& environment = {})
        : logPath_(logPath) {
        std::vector<std::string> args = {WHARF_E2E_APP, "--bundle", bundle, "--home", home};
        args.insert(args.end(), extraArgs.begin(), extraArgs.end());
        pid_ = fork();
        if (pid_ == 0) {
            FILE* log = fopen(logPath.c_str(), "a");
            if (log) dup2(fileno(log), STDERR_FILENO);
            for (const auto& entry : environment) putenv(strdup(entry.c_str()));
            // Without a session bus each host runs on its own, never handing its
            // launch to a host of the same bundle that another test run started.
            unsetenv("DBUS_SESSION_BUS_ADDRESS");
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~App() { stop(); }

    std::string log() const { return readFile(logPath_); }
    bool waitForLog(const std::string& text, std::chrono::milliseconds timeout = 30s) const {
        return waitFor([&] { return log().find(text) != std::string::npos; }, timeout);
    }
    bool running() {
        if (pid_ <= 0) return false;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            exitStatus_ = status;
            return false;
        }
        return true;
    }
    // SIGTERM, then the exit status (-1 when it had to be killed).
    int stop() {
        if (pid_ <= 0) return exitStatus_;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 200; ++i) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                exitStatus_ = status;
                return status;
            }
            std::this_thread::sleep_for(50ms);
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return exitStatus_ = -1;
    }

    template <class F>
    static bool waitFor(F condition, std::chrono::milliseconds timeout = 30s) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (condition()) return true;
            std::this_thread::sleep_for(50ms);
        }
        return condition();
    }

private:
    std::string logPath_;
    pid_t pid_ = -1;
    int exitStatus_ = -1;
};

std::size_t count(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

// A loopback server that records the paths it was asked for.
class Server {
public:
    Server() {
        server_.Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
            {
                std::lock_guard lock(mutex_);
                paths_.insert(request.path);
            }
            response.set_content("<html><body>served</body></html>", "text/html");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        serving_.emplace(server_);
    }
    int port() const { return port_; }
    bool saw(const std::string& path) {
        std::lock_guard lock(mutex_);
        return paths_.contains(path);
    }

private:
    httplib::Server server_;
    int port_ = 0;
    std::optional<wharf::test::ServingThread> serving_;
    std::mutex mutex_;
    std::set<std::string> paths_;
};

// Makes a recording program the system's handler of "tel:" URLs for the app.
std::vector<std::string> telHandlerEnvironment(const std::string& root, const std::string& recordPath) {
    fs::create_directories(root + "/data/applications");
    fs::create_directories(root + "/config");
    writeFile(root + "/record.sh", "#!/bin/sh\necho \"$1\" >> '" + recordPath + "'\n");
    fs::permissions(root + "/record.sh", fs::perms::owner_all);
    writeFile(root + "/data/applications/wharf-e2e-recorder.desktop",
              "[Desktop Entry]\nType=Application\nName=Recorder\nExec=" + root +
                  "/record.sh %u\nMimeType=x-scheme-handler/tel;\nNoDisplay=true\n");
    writeFile(root + "/config/mimeapps.list",
              "[Default Applications]\nx-scheme-handler/tel=wharf-e2e-recorder.desktop\n");
    return {"XDG_DATA_HOME=" + root + "/data", "XDG_CONFIG_HOME=" + root + "/config",
            "XDG_DATA_DIRS=" + root + "/data:/usr/local/share:/usr/share"};
}

class HostPluginsE2E : public ::testing::Test {
protected:
    void SetUp() override {
        const char* display = std::getenv("DISPLAY");
        WHARF_REQUIRE_COMPONENT(display && *display, "a display (run under xvfb-run)");
    }
};

TEST_F(HostPluginsE2E, NavigationFilterIntentsAndConsole) {
    TempDir dir;
    Server server;
    const std::string port = std::to_string(server.port());
    const std::string allowed = "http://127.0.0.1:" + port + "/allowed.html";
    const std::string refused = "http://localhost:" + port + "/refused.html";
    const std::string huge = "http://localhost:" + port + "/huge?q=" + std::string(200 * 1024, 'x');
    std::string script =
        "function click(href) { var a = document.createElement('a'); a.href = href; document.body.appendChild(a);"
        " a.click(); }\n"
        "document.addEventListener('deviceready', function () {\n"
        "  console.log('e2e console says hello');\n"
        "  var frame = document.createElement('iframe'); frame.src = 'tel:+4930999';"
        " document.body.appendChild(frame);\n"
        "  setTimeout(function () { click('" +
        refused +
        "'); }, 100);\n"
        "  setTimeout(function () { click('" +
        huge +
        "'); }, 300);\n"
        "  setTimeout(function () { click('tel:+4930123'); }, 500);\n"
        "  setTimeout(function () { console.log('e2e clicking allowed'); click('" +
        allowed +
        "'); }, 900);\n"
        "});\n";
    Bundle bundle(dir.path(), "org.wharf.e2e.filter",
                  "<feature name=\"IntentAndNavigationFilter\"><param name=\"ios-package\" "
                  "value=\"WFIntentAndNavigationFilter\"/><param name=\"onload\" value=\"true\"/></feature>\n"
                  "<allow-navigation href=\"http://127.0.0.1:" +
                      port + "/*\"/>\n<allow-intent href=\"tel:*\"/>\n",
                  script);
    const std::string opened = dir.path() + "/opened.txt";
    App app(bundle.path, dir.path() + "/home", dir.path() + "/app.log", {},
            telHandlerEnvironment(dir.path() + "/xdg", opened));

    ASSERT_TRUE(App::waitFor([&] { return server.saw("/allowed.html"); })) << app.log();
    std::string log = app.log();
    EXPECT_NE(log.find("e2e console says hello"), std::string::npos) << log;
    EXPECT_NE(log.find("ERROR Internal navigation rejected - <allow-navigation> not set for url='" + refused + "'"),
              std::string::npos);
    EXPECT_NE(log.find("ERROR External navigation rejected - <allow-intent> not set for url='" + refused + "'"),
              std::string::npos);
    EXPECT_EQ(count(log, "not set for url='http://localhost:" + port + "/huge?q=xxxx"), 2u);
    EXPECT_FALSE(server.saw("/refused.html"));
    EXPECT_FALSE(server.saw("/huge"));
    EXPECT_TRUE(App::waitFor([&] { return readFile(opened).find("tel:+4930123") != std::string::npos; }, 10s));
    // A frame's own load of an intent URL is never handed to another application.
    EXPECT_EQ(readFile(opened).find("tel:+4930999"), std::string::npos) << readFile(opened);
    EXPECT_TRUE(app.running()) << log;
}

TEST_F(HostPluginsE2E, StartPageNotFoundMessagePassesTheFilter) {
    TempDir dir;
    Bundle bundle(dir.path(), "org.wharf.e2e.nostart",
                  "<feature name=\"IntentAndNavigationFilter\"><param name=\"ios-package\" "
                  "value=\"WFIntentAndNavigationFilter\"/><param name=\"onload\" value=\"true\"/></feature>\n",
                  "");
    fs::remove(bundle.path + "/www/index.html");
    App app(bundle.path, dir.path() + "/home", dir.path() + "/app.log");
    ASSERT_TRUE(app.waitForLog("Finished load of: about:blank")) << app.log();
    std::string log = app.log();
    EXPECT_NE(log.find("ERROR: Start Page at 'www/index.html' was not found."), std::string::npos) << log;
    EXPECT_EQ(log.find("navigation rejected"), std::string::npos) << log;
}

TEST_F(HostPluginsE2E, OpenUrlGivenAtLaunchReachesThePageOnce) {
    TempDir dir;
    const std::string url = "wharfe2e://open?name=it's&q=%22x%22";
    Bundle bundle(dir.path(), "org.wharf.e2e.openurl",
                  "<feature name=\"HandleOpenUrl\"><param name=\"ios-package\" value=\"WFHandleOpenURL\"/>"
                  "<param name=\"onload\" value=\"true\"/></feature>\n",
                  "var loaded = false; window.addEventListener('load', function () { loaded = true; });\n"
                  "function handleOpenURL(u) { console.log('e2e opened ' + (loaded ? 'after' : 'before') +"
                  " ' load: ' + u); }\n");
    App app(bundle.path, dir.path() + "/home", dir.path() + "/app.log", {"--open-url", url});
    ASSERT_TRUE(app.waitForLog("e2e opened ")) << app.log();
    std::this_thread::sleep_for(1500ms);  // a second delivery would come by now
    std::string log = app.log();
    EXPECT_EQ(count(log, "e2e opened "), 1u) << log;
    EXPECT_NE(log.find("e2e opened after load: " + url), std::string::npos) << log;
}

// "kept-value-42" as WebKit stores it: UTF-16LE, in hex.
std::string utf16Hex(const std::string& ascii) {
    std::string hex;
    char buf[8];
    for (char c : ascii) {
        snprintf(buf, sizeof buf, "%02X00", static_cast<unsigned char>(c));
        hex += buf;
    }
    return hex;
}

std::string sqliteQuery(const std::string& database, const std::string& sql) {
    std::string command = "sqlite3 -readonly '" + database + "' \"" + sql + "\" 2>&1";
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[512];
        while (fgets(buffer, sizeof buffer, pipe)) out += buffer;
        pclose(pipe);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

TEST_F(HostPluginsE2E, LocalStorageIsBackedUpAndRestoredAtTheNextStart) {
    TempDir dir;
    const std::string script =
        "document.addEventListener('deviceready', function () {\n"
        "  var v = localStorage.getItem('e2e-key');\n"
        "  console.log('e2e read: ' + v);\n"
        "  if (v !== null) {\n"
        "    localStorage.setItem('e2e-key', 'second-value');\n"
        "    setInterval(function () { wharf.exec(function (m) { console.log('e2e backup answer: ' + m); },\n"
        "      null, 'LocalStorage', 'backup', []); }, 500);\n"
        "    return;\n"
        "  }\n"
        "  localStorage.setItem('e2e-key', 'kept-value-42');\n"
        // WebKit writes the value to its database a little after setItem: the
        // application keeps resigning active until a backup holds it.
        "  setInterval(function () { wharf.exec(null, null, 'Lifecycle', 'resignActive', []); }, 500);\n"
        "});\n";
    Bundle bundle(dir.path(), "org.wharf.e2e.storage",
                  "<preference name=\"BackupWebStorage\" value=\"local\"/>\n"
                  "<feature name=\"LocalStorage\"><param name=\"ios-package\" value=\"WFLocalStorage\"/></feature>\n"
                  "<feature name=\"Lifecycle\"><param name=\"ios-package\" value=\"E2ELifecycle\"/></feature>\n",
                  script);
    const std::string home = dir.path() + "/home";
    const std::string live = home + "/Library/Caches/file__0.localstorage";
    const std::string backups = home + "/Documents/Backups";
    const std::string copy = backups + "/localstorage.appdata.db";
    const std::string query = "SELECT hex(value) FROM ItemTable WHERE key='e2e-key'";
    {
        App app(bundle.path, home, dir.path() + "/first.log");
        ASSERT_TRUE(app.waitForLog("e2e read: null")) << app.log();
        ASSERT_TRUE(App::waitFor([&] { return fs::exists(live); }, 10s))
            << "the web context was not given WFLocalStorage::webStorageLocation()";
        EXPECT_TRUE(App::waitFor([&] { return sqliteQuery(copy, query) == utf16Hex("kept-value-42"); }))
            << sqliteQuery(copy, query) << "\n"
            << app.log();
        EXPECT_NE(app.log().find("Backed up: localStorage database"), std::string::npos);
        std::string attribute;
        auto result = wharf::platform::xattr::get(backups, wharf::platform::xattr::kExcludeFromBackup, &attribute);
        if (result != wharf::platform::xattr::Result::Unsupported) {
            EXPECT_EQ(attribute, "false");
        }
        app.stop();
    }
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(live + suffix);
    {
        App app(bundle.path, home, dir.path() + "/second.log");
        ASSERT_TRUE(app.waitForLog("e2e read: ")) << app.log();
        std::string log = app.log();
        EXPECT_NE(log.find("Restored: localStorage database"), std::string::npos) << log;
        EXPECT_NE(log.find("e2e read: kept-value-42"), std::string::npos) << log;
        EXPECT_TRUE(App::waitFor([&] { return sqliteQuery(copy, query) == utf16Hex("second-value"); }))
            << sqliteQuery(copy, query);
        EXPECT_TRUE(app.waitForLog("e2e backup answer: Backed up: localStorage database")) << app.log();
    }
}

}  // namespace
