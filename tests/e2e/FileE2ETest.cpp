// The file plug-in end to end: the real host on a bundle whose page drives
// the page's file API through the bridge and loads "wffile" URLs, in
// WebKitGTK under Xvfb. One launch; the page's report and the files left on
// disk are checked afterwards.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include "E2EProcess.h"
#include "ServingThread.h"
#include "TestSupport.h"
#include "platform/base/Value.h"

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

// A copy of a test bundle with the demo's page file API and a bridge script
// as its "wharf.js".
std::string prepareBundle(const TempDir& dir, const std::string& name, const std::string& bridge) {
    std::string bundle = dir.file("bundle");
    wharf::test::copyBundle(std::string(WHARF_E2E_BUNDLES) + "/" + name, bundle);
    fs::copy_file(bridge, fs::path(bundle) / "www" / "wharf.js");
    fs::copy_file(fs::path(WHARF_DEMO_WWW) / "wharf-file.js", fs::path(bundle) / "www" / "wharf-file.js");
    return bundle;
}

bool haveDisplay() {
    const char* display = std::getenv("DISPLAY");
    return display && *display;
}

// The demo's bridge, and one written to the host's contract alone.
class FileE2E : public ::testing::TestWithParam<std::string> {};

TEST_P(FileE2E, PageReadsWritesAndLoadsFilesThroughTheBridgeAndTheScheme) {
    WHARF_REQUIRE_COMPONENT(haveDisplay(), "a display (run under xvfb-run)");
    TempDir dir;
    const std::string bundle = prepareBundle(dir, "file", GetParam());
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
    // 3 MiB: whole, and in its turn, whether the answer carried the bytes or
    // the URL the demo's bridge asked for.
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

INSTANTIATE_TEST_SUITE_P(Bridges, FileE2E, ::testing::Values(WHARF_DEMO_WWW "/wharf.js", WHARF_CONTRACT_BRIDGE),
                         [](const auto& info) { return info.index == 0 ? "Shipped" : "Contract"; });

// A sparse file of `size` bytes (no disk used) holding `mark` at its start,
// middle and end.
void writeSparse(const std::string& path, uint64_t size, char mark) {
    { std::ofstream(path, std::ios::binary); }
    fs::resize_file(path, size);
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    for (const uint64_t at : {uint64_t{0}, size / 2, size - 1}) {
        file.seekp(static_cast<std::streamoff>(at));
        file.put(mark);
    }
}

// A page of the demo's bridge, whose large byte answers come by URL, asks for
// more of them than the host holds and fetches none until all are answered:
// the host holds the newest that fit together, and its memory stays within
// that; each answer is then the file's own bytes or a failed read. Reads of a
// file larger than the host could hold answer an error in every form.
TEST(FileE2EMemory, UnfetchedAnswersAndReadsTooLargeToHoldStayWithinTheBound) {
    WHARF_REQUIRE_COMPONENT(haveDisplay(), "a display (run under xvfb-run)");
    TempDir dir;
    const std::string bundle = prepareBundle(dir, "file-memory", WHARF_DEMO_WWW "/wharf.js");
    constexpr int kCount = 6;
    constexpr uint64_t kSize = uint64_t{160} << 20;
    writeFile(bundle + "/www/sizes.js",
              "var E2E = {count: " + std::to_string(kCount) + ", size: " + std::to_string(kSize) + "};\n");
    const std::string documents = dir.file("home/Documents");
    fs::create_directories(documents);
    for (int i = 0; i < kCount; ++i)
        writeSparse(documents + "/held" + std::to_string(i) + ".bin", kSize, static_cast<char>(i + 1));
    writeSparse(documents + "/huge.bin", uint64_t{20} << 30, 'h');
    writeSparse(documents + "/big.bin", uint64_t{600} << 20, 'b');
    { std::ofstream(documents + "/nuls.bin", std::ios::binary); }
    fs::resize_file(documents + "/nuls.bin", uint64_t{100} << 20);

    // Under AddressSanitizer freed memory is kept back for a while: the host
    // here gives it back at once, as it does in a normal build.
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string asanOptions =
        "ASAN_OPTIONS=" + std::string(asan ? asan : "") + (asan && *asan ? ":" : "") + "quarantine_size_mb=0";
    wharf::test::E2ERun run = wharf::test::runE2EHost(WHARF_E2E_HOST, {"--bundle", bundle, "--home", dir.file("home")},
                                                      dir, {asanOptions}, std::chrono::seconds(60));
    ASSERT_FALSE(run.timedOut) << run.err;
    const std::string text = readFile(dir.file("home/e2e-report.json"));
    ASSERT_FALSE(text.empty()) << run.err;
    const Value r = Value::parse(text);
    EXPECT_EQ(run.status, 0) << r.dump(2) << run.err;

    // The host holds the newest answers that fit in its bound together (the
    // newest of them fetched whole); the older ones' fetches fail, a read
    // that failed for the page.
    const uint64_t memory =
        static_cast<uint64_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    const uint64_t bound = std::min<uint64_t>(uint64_t{512} << 20, memory / 8);
    const int kept = static_cast<int>(std::min<uint64_t>(kCount, bound / kSize));
    Value expected = Value::array();
    for (int i = 0; i < kCount; ++i)
        expected.push_back(i < kCount - kept ? Value{{"error", 4}} : i < kCount - 1 ? Value("held") : Value("bytes"));
    EXPECT_EQ(r["held"], expected) << run.err;
    EXPECT_NE(run.err.find("Dropped a readAsArrayBuffer answer of " + std::to_string(kSize) + " bytes"),
              std::string::npos);
    // At its peak: what it held, and the read on its way in.
    ASSERT_TRUE(r["growth"].is_number()) << r.dump();
    EXPECT_LE(r["growth"].get<double>(), static_cast<double>(bound + kSize + (uint64_t{64} << 20))) << r.dump();

    // 20 GiB as text, data URL, binary string and bytes; through the scheme,
    // which serves it as it is read; 600 MiB as bytes; 100 MiB of NULs as
    // text (six times that as the answer's text).
    EXPECT_EQ(r["tooLarge"], Value::parse("[4,4,4,4,200,4,4]"));
    ASSERT_TRUE(r["servedGrowth"].is_number()) << r.dump();
    EXPECT_LE(r["servedGrowth"].get<double>(), static_cast<double>(uint64_t{64} << 20)) << r.dump();
}

}  // namespace
