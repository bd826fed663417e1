// The file plug-in end to end: the real host on a bundle whose page drives
// the page's file API through the bridge and loads "wffile" URLs, in
// WebKitGTK under Xvfb. One launch; the page's report and the files left on
// disk are checked afterwards.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <map>
#include <string>
#include <thread>

#include "E2EProcess.h"
#include "ServingThread.h"
#include "TestSupport.h"
#include "platform/Value.h"

namespace {

namespace fs = std::filesystem;
using wharf::platform::Value;
using wharf::test::readFile;
using wharf::test::TempDir;
using wharf::test::writeFile;

// A PNG of the given width (and height 3).
void writePNG(const std::string& path, int width) {
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, 3);
    gdk_pixbuf_fill(pixbuf, 0x3366aaff);
    ASSERT_TRUE(gdk_pixbuf_save(pixbuf, path.c_str(), "png", nullptr, nullptr));
    g_object_unref(pixbuf);
}

// A remote page that tries to show and fetch the application's files and
// tells its parent what it got.
constexpr const char* kProbePage = R"(<!DOCTYPE html><html><body><script>
var out = {};
function done() { if ('image' in out && 'fetch' in out) parent.postMessage(JSON.stringify(out), '*'); }
var img = new Image();
img.onload = function () { out.image = img.naturalWidth; done(); };
img.onerror = function () { out.image = -1; done(); };
img.src = 'wffile://localhost/persistent/pic.png';
fetch('wffile://localhost/persistent/style.css').then(function (r) { return r.text(); })
  .then(function (t) { out.fetch = t; done(); }, function () { out.fetch = 'refused'; done(); });
</script></body></html>)";

// Every name below a directory (links not followed) with its contents.
std::map<std::string, std::string> tree(const std::string& directory) {
    std::map<std::string, std::string> out;
    for (const auto& entry : fs::recursive_directory_iterator(directory))
        out[entry.path()] = entry.is_symlink() ? "link" : entry.is_regular_file() ? readFile(entry.path()) : "dir";
    return out;
}

class ProbeServer {
public:
    ProbeServer() {
        server_.Get("/probe.html", [](const httplib::Request&, httplib::Response& response) {
            response.set_content(kProbePage, "text/html");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        serving_.emplace(server_);
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/probe.html"; }

private:
    httplib::Server server_;
    int port_ = 0;
    std::optional<wharf::test::ServingThread> serving_;
};

TEST(FileE2E, PageReadsWritesAndLoadsFilesThroughTheBridgeAndTheScheme) {
    const char* display = std::getenv("DISPLAY");
    WHARF_REQUIRE_COMPONENT(display && *display, "a display (run under xvfb-run)");
    TempDir dir;
    const std::string bundle = dir.file("bundle");
    fs::copy(fs::path(WHARF_E2E_BUNDLES) / "file", bundle, fs::copy_options::recursive);
    for (const char* script : {"wharf.js", "wharf-file.js"})
        fs::copy_file(fs::path(WHARF_DEMO_WWW) / script, fs::path(bundle) / "www" / script);
    ProbeServer probe;
    writeFile(bundle + "/www/probe.js", "var PROBE_URL = '" + probe.url() + "';\n");

    // The persistent filesystem is the container's Documents; the photo
    // library a fixture Pictures directory.
    const std::string home = dir.file("home");
    const std::string documents = home + "/Documents";
    const std::string pictures = dir.file("Pictures");
    fs::create_directories(documents);
    fs::create_directories(pictures + "/holiday");
    writePNG(documents + "/pic.png", 7);
    writePNG(pictures + "/holiday/pic.png", 5);
    writeFile(documents + "/style.css", "body { color: red; }");
    writeFile(documents + "/q", "q");
    writeFile(documents + "/q?x.txt", "q?x");
    std::string large(3 << 20, '\0');
    long long sum = 0;
    for (std::size_t i = 0; i < large.size(); ++i) {
        large[i] = static_cast<char>(i * 7 + i / 4096);
        sum = (sum + static_cast<unsigned char>(large[i]) * static_cast<long long>(i % 251 + 1)) % 1000000007;
    }
    writeFile(documents + "/large.bin", large);
    // Beside the container, a directory the page must not reach, and links
    // to it planted in Documents.
    const std::string outside = dir.file("outside");
    writeFile(outside + "/secret.txt", "secret");
    writeFile(outside + "/sub/inner.txt", "inner");
    fs::create_symlink(outside + "/secret.txt", documents + "/out-file");
    fs::create_directory_symlink(outside, documents + "/out-dir");
    fs::create_symlink(outside + "/made.txt", documents + "/dangling");
    fs::create_symlink("style.css", documents + "/in-file");
    const auto outsideBefore = tree(outside);
    const std::string config = readFile(bundle + "/config.xml");

    wharf::test::E2ERun run = wharf::test::runE2EHost(WHARF_E2E_HOST, {"--bundle", bundle, "--home", home}, dir,
                                                      {"WHARF_PICTURES_DIR=" + pictures});
    ASSERT_FALSE(run.timedOut) << run.err;
    const std::string text = readFile(home + "/e2e-report.json");
    ASSERT_FALSE(text.empty()) << run.err;
    const Value r = Value::parse(text);
    EXPECT_EQ(run.status, 0) << r.dump(2) << run.err;

    EXPECT_EQ(r["root"], Value::parse(R"({"name":"persistent","fullPath":"/","entryName":"/"})"));
    EXPECT_EQ(r["created"], Value::parse(R"({"isFile":true,"fullPath":"/a.txt","name":"a.txt"})"));
    EXPECT_EQ(r["firstWrite"], 6);
    // "xyz" written at 2 into "abcdef" cuts the tail.
    EXPECT_EQ(r["text"], "abxyz");
    EXPECT_EQ(r["dataURL"], "data:text/plain;base64,YWJ4eXo=");
    // NUL and bytes over 0x7F come back exactly, as bytes and as a binary string.
    const Value sent = Value::parse("[0,1,65,127,128,200,255,0,10]");
    EXPECT_EQ(r["arrayBuffer"]["isArrayBuffer"], true);
    EXPECT_EQ(r["arrayBuffer"]["bytes"], sent);
    EXPECT_EQ(r["binaryString"], sent);
    // 3 MiB: fetched by the page's bridge, whole, and in its turn.
    EXPECT_EQ(r["large"], (Value{{"isArrayBuffer", true}, {"length", large.size()}, {"sum", sum}}));
    EXPECT_EQ(r["largeOrder"], Value::parse(R"(["large","small"])"));

    EXPECT_EQ(r["copyOntoExisting"], Value::parse(R"({"error":12})"));
    EXPECT_EQ(r["move"], "/b.txt");
    EXPECT_EQ(r["sourceAfterMove"], Value::parse(R"({"error":1})"));
    EXPECT_EQ(readFile(documents + "/b.txt"), "abxyz");
    EXPECT_FALSE(fs::exists(documents + "/a.txt"));

    // The filesystem's root refuses to go; the container is intact.
    EXPECT_EQ(r["removeRoot"], Value::parse(R"({"error":6})"));
    EXPECT_TRUE(fs::exists(documents + "/pic.png"));
    EXPECT_TRUE(fs::exists(home + "/Library"));

    // A directory copied into itself: refused, nothing written.
    EXPECT_EQ(r["copyIntoItself"], Value::parse(R"({"error":9})"));
    EXPECT_EQ(readFile(documents + "/d/inner.txt"), "in");
    EXPECT_FALSE(fs::exists(documents + "/d/sub"));
    EXPECT_EQ(std::distance(fs::directory_iterator(documents + "/d"), fs::directory_iterator()), 1);

    EXPECT_EQ(r["fileSystems"], Value::parse(R"(["temporary","persistent","assets-library","library","library-nosync",
                                                 "documents","documents-nosync","cache","bundle","root"])"));
    EXPECT_EQ(r["rootEntries"], true);

    // The scheme: an image, a style sheet with its type and no caching, a 404.
    EXPECT_EQ(r["imageWidth"], 7);
    EXPECT_EQ(r["css"]["status"], 200);
    EXPECT_EQ(r["css"]["type"], "text/css");
    EXPECT_EQ(r["css"]["cache"], "no-cache");
    EXPECT_EQ(r["css"]["body"], "body { color: red; }");
    EXPECT_EQ(r["missing"]["status"], 404);
    EXPECT_EQ(r["missing"]["cache"], "no-cache");
    // The photo library: an asset loads, and copies into a local filesystem.
    EXPECT_EQ(r["assetWidth"], 5);
    EXPECT_EQ(r["assetCopy"], "/copied.png");
    EXPECT_EQ(readFile(documents + "/copied.png"), readFile(pictures + "/holiday/pic.png"));
    // Links leading out of Documents are refused, whatever is asked through
    // them, and nothing outside changes; one staying inside works.
    const Value refused = Value::parse(R"({"error":2})");
    for (const char* step : {"read", "write", "truncate", "writeDangling", "create", "createDirectory",
                             "removeRecursively", "setMetadata", "moveOut", "resolve"})
        EXPECT_EQ(r["links"][step], refused) << step;
    EXPECT_EQ(r["links"]["scheme"], 404);
    EXPECT_EQ(r["links"]["inward"], "body { color: red; }");
    EXPECT_EQ(tree(outside), outsideBefore);
    EXPECT_EQ(readFile(documents + "/style.css"), "body { color: red; }");
    // The bundle is read-only.
    EXPECT_EQ(r["bundleWrite"], Value::parse(R"({"error":6})"));
    EXPECT_EQ(r["bundleRemove"], Value::parse(R"({"error":6})"));
    EXPECT_EQ(readFile(bundle + "/config.xml"), config);
    EXPECT_TRUE(fs::exists(bundle + "/www/index.html"));
    // Writes sent back to back land in order.
    EXPECT_EQ(r["order"], Value(std::vector<std::string>(20, "AAAABBBB")));
    // An escaped "?" names the file that has it; the longest name is copied.
    EXPECT_EQ(r["questionMark"], "/q?x.txt");
    EXPECT_EQ(r["longName"], 255);
    EXPECT_EQ(readFile(documents + "/" + std::string(255, 'n')), "q?x");
    // A remote page can neither show nor read them.
    EXPECT_EQ(r["remote"], Value::parse(R"({"image":-1,"fetch":"refused"})"));
}

}  // namespace
