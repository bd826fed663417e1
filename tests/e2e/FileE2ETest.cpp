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
#include "plugins/file/WFFileSystem.h"

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

// Bytes whose every position counts: a byte missing, added or moved changes
// their checksum (the page computes the same).
std::string patterned(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + i / 4096);
    return bytes;
}
long long checksum(const std::string& bytes) {
    long long sum = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i)
        sum = (sum + static_cast<unsigned char>(bytes[i]) * static_cast<long long>(i % 251 + 1)) % 1000000007;
    return sum;
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
    const std::string large = patterned(3 << 20);
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
    EXPECT_EQ(r["large"], (Value{{"isArrayBuffer", true}, {"length", large.size()}, {"sum", checksum(large)}}));
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
    EXPECT_EQ(r["assetType"], "image/png");
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

// What a page's bridge asks of the host holds for that page alone: the
// demo's bridge asks for large answers by URL with its first call, which its
// page makes only as it goes, the next page loading already; the next page's
// bridge, written to the contract alone, gets the bytes themselves. An ask
// with a callback is answered, though config.xml maps a plug-in to the
// bridge's service name.
TEST(FileE2E, AnAskHoldsForItsOwnPageAndIsAnswered) {
    WHARF_REQUIRE_COMPONENT(haveDisplay(), "a display (run under xvfb-run)");
    TempDir dir;
    const std::string bundle = prepareBundle(dir, "file-navigation", WHARF_DEMO_WWW "/wharf.js");
    fs::copy_file(WHARF_CONTRACT_BRIDGE, fs::path(bundle) / "www" / "contract.js");
    const std::string large = patterned(3 << 20);
    writeFile(dir.file("home/Documents/large.bin"), large);
    wharf::test::E2ERun run = wharf::test::runE2EHost(WHARF_E2E_HOST, {"--bundle", bundle, "--home", dir.file("home")},
                                                      dir, {}, std::chrono::seconds(30));
    // An answer by URL is none the contract bridge can read: it never calls back.
    ASSERT_FALSE(run.timedOut) << "the next page's read or ask was left without an answer it reads\n" << run.err;
    const std::string text = readFile(dir.file("home/e2e-report.json"));
    ASSERT_FALSE(text.empty()) << run.err;
    const Value r = Value::parse(text);
    EXPECT_EQ(run.status, 0) << r.dump(2) << run.err;
    EXPECT_EQ(r["large"], (Value{{"isArrayBuffer", true}, {"length", large.size()}, {"sum", checksum(large)}}))
        << run.err;
    EXPECT_EQ(r["ask"], "answered");
}

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

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

constexpr uint64_t kMiB = uint64_t{1} << 20;

// Runs the memory page with a bridge: `config` becomes its E2E (the steps to
// run and their sizes), the files are in `dir`'s "home/Documents" and
// "Pictures". The report it recorded.
Value runMemoryPage(const TempDir& dir, const std::string& bridge, const Value& config,
                    std::vector<std::string> environment = {}) {
    const std::string bundle = prepareBundle(dir, "file-memory", bridge);
    writeFile(bundle + "/www/sizes.js", "var E2E = " + config.dump() + ";\n");
    // Under AddressSanitizer freed memory is kept back for a while: the host
    // here gives it back at once, as it does in a normal build.
    const char* asan = std::getenv("ASAN_OPTIONS");
    environment.push_back("ASAN_OPTIONS=" + std::string(asan ? asan : "") + (asan && *asan ? ":" : "") +
                          "quarantine_size_mb=0");
    environment.push_back("WHARF_PICTURES_DIR=" + dir.file("Pictures"));
    wharf::test::E2ERun run = wharf::test::runE2EHost(WHARF_E2E_HOST, {"--bundle", bundle, "--home", dir.file("home")},
                                                      dir, environment, std::chrono::seconds(90));
    EXPECT_FALSE(run.timedOut) << run.err;
    const std::string text = readFile(dir.file("home/e2e-report.json"));
    EXPECT_FALSE(text.empty()) << run.err;
    if (text.empty()) return Value::object();
    Value report = Value::parse(text);
    EXPECT_EQ(run.status, 0) << report.dump(2) << run.err;
    return report;
}

// Whether a fetch of a file of `size` bytes that changed meanwhile gave one
// whole version of it: all it declared, or a failure.
bool wholeOrFailed(const Value& fetched, uint64_t size) {
    return fetched == "failed" || fetched == Value{{"status", 200}, {"length", size}};
}

// The shipped bridge, whose large byte answers come by URL, with the largest
// read lowered to 64 MiB at most: large answers left unfetched and reads of
// large files sent together are all answered with their files' bytes, while
// the host holds no more than that bound for them; the photo library is
// served from its files however many fetch at once; a file changed while it
// is served is never answered with a mix of versions; no fetch leaves a
// descriptor open; and reads larger than the host allows are refused in
// every form before anything is read.
TEST(FileE2EMemory, TheShippedBridgeGetsEveryLargeAnswerWithinTheBound) {
    WHARF_REQUIRE_COMPONENT(haveDisplay(), "a display (run under xvfb-run)");
    TempDir dir;
    const uint64_t limit = std::min<uint64_t>(64 * kMiB, wharf::WFLargestRead());
    const std::string documents = dir.file("home/Documents"), pictures = dir.file("Pictures");
    fs::create_directories(documents);
    fs::create_directories(pictures);
    const Value config = {
        {"steps", {"unfetched", "together", "assets", "changing", "descriptors", "tooLarge"}},
        {"unfetched", {{"count", 6}, {"size", limit * 3 / 8}}},
        {"together", {{"count", 3}, {"size", limit * 3 / 4}}},
        {"assets", {{"fetches", 8}}},
        {"changing", {{"size", 1024 * kMiB}}},
        {"descriptors", {{"rounds", 40}}},
    };
    for (int i = 0; i < 6; ++i)
        writeSparse(documents + "/held" + std::to_string(i) + ".bin", limit * 3 / 8, static_cast<char>(i + 1));
    for (int i = 0; i < 3; ++i)
        writeSparse(documents + "/together" + std::to_string(i) + ".bin", limit * 3 / 4, static_cast<char>(i + 1));
    writeSparse(pictures + "/picture.bin", limit * 3 / 4, 'p');
    writeSparse(pictures + "/huge.bin", limit * 16, 'h');
    writeSparse(pictures + "/over.bin", limit + kMiB, 'o');
    writeSparse(pictures + "/small.bin", 100 << 10, 's');
    writeSparse(documents + "/shrinking.bin", 1024 * kMiB, 's');
    writeSparse(documents + "/growing.bin", 1024 * kMiB, 'g');
    writeSparse(documents + "/small.bin", 100 << 10, 's');
    writeSparse(documents + "/medium.bin", 2 * kMiB, 'm');
    writeSparse(documents + "/huge.bin", uint64_t{20} << 30, 'h');
    writeSparse(documents + "/big.bin", limit + kMiB, 'b');
    { std::ofstream(documents + "/nuls.bin", std::ios::binary); }
    fs::resize_file(documents + "/nuls.bin", limit / 4);

    Value r = runMemoryPage(dir, WHARF_DEMO_WWW "/wharf.js", config, {"WHARF_LARGEST_READ=" + std::to_string(limit)});
    const double slack = static_cast<double>(24 * kMiB);
    auto growth = [&](const Value& measured) {
        return measured.contains("growth") ? measured["growth"].get<double>() : 1e18;
    };
    // Under AddressSanitizer the host runs several times slower while
    // WebKit's side of it does not, and holds more of what the host has sent
    // on its way: what fetches side by side cost is measured in the normal
    // build only.
    const bool measuresFetchesSideBySide = !kAddressSanitizer;

    // Unfetched answers: none lost, whatever the page left waiting; the host
    // held no more than the bound for them.
    Value held(std::vector<std::string>(5, "held"));
    held.push_back("bytes");
    EXPECT_EQ(r["unfetched"], held) << r.dump();
    EXPECT_LE(r.value("unfetchedGrowth", 1e18), static_cast<double>(limit) + slack) << r.dump();
    // Reads sent together: each answer the file's own bytes. The host held
    // no more than the bound, and what it sent of that on its way.
    EXPECT_EQ(r["together"]["outcome"], Value(std::vector<std::string>(3, "bytes"))) << r.dump();
    if (measuresFetchesSideBySide) {
        EXPECT_LE(growth(r["together"]), 2.0 * static_cast<double>(limit) + slack) << r.dump();
    }

    // A picture fetched by eight at once is read from its file as they
    // read it; one larger than any read is served all the same; read as
    // bytes it is refused before anything is read. One larger than a read
    // copies, as it is read.
    const Value picture = {{"status", 200}, {"length", limit * 3 / 4}};
    EXPECT_EQ(r["assets"]["fetched"]["outcome"], Value(std::vector<Value>(8, picture))) << r.dump();
    // What the first eight fetches cost depends on how fast WebKit's side
    // passes the reads on (on two busy cores, up to four times the bound,
    // which the allocator then keeps). That it does not grow with the file
    // is what the next eight show: a picture sixteen times larger adds
    // nothing to it.
    EXPECT_EQ(r["assets"]["huge"]["outcome"], Value(std::vector<int>(8, 200))) << r.dump();
    EXPECT_LE(growth(r["assets"]["huge"]), slack) << r.dump();
    EXPECT_EQ(r["assets"]["hugeRead"]["outcome"], 4) << r.dump();
    EXPECT_LE(growth(r["assets"]["hugeRead"]), slack) << r.dump();
    EXPECT_EQ(r["assets"]["hugeCopy"]["outcome"], "read") << r.dump();
    EXPECT_LE(growth(r["assets"]["hugeCopy"]), slack) << r.dump();
    EXPECT_EQ(readFile(documents + "/copied.bin"), readFile(pictures + "/over.bin"));

    // Cut short or grown while served: all of one version, or a failed fetch.
    EXPECT_TRUE(wholeOrFailed(r["changing"]["truncated"], 1024 * kMiB)) << r.dump();
    EXPECT_TRUE(wholeOrFailed(r["changing"]["grown"], 1024 * kMiB)) << r.dump();
    EXPECT_EQ(fs::file_size(documents + "/shrinking.bin"), kMiB);

    // 120 fetches leave no descriptor behind.
    EXPECT_LT(r.value("descriptors", 1000), 20) << r.dump();

    // 20 GiB as text, data URL, binary string and bytes; through the scheme,
    // which serves it as it is read; a little more than a read may be as
    // bytes; a quarter of that of NULs as text (six times that as the
    // answer's text).
    EXPECT_EQ(r["tooLarge"], Value::parse("[4,4,4,4,200,4,4]")) << r.dump();
    EXPECT_LE(r.value("servedGrowth", 1e18), slack) << r.dump();
}

// A bridge written to the host's contract alone gets bytes in the answer's
// text: a 256 MiB read costs the host at most two and a half times the file
// at its peak (a 64 MiB one under AddressSanitizer, where the text is slow
// to make and read and every allocation larger, three times), a text sent
// in parts comes whole whichever byte of a character a part ends on, and a
// read whose text would be larger than the host allows is refused before
// anything is read.
TEST(FileE2EMemory, TheContractBridgeGetsLargeAnswersAsTextAtAFewTimesTheirSize) {
    WHARF_REQUIRE_COMPONENT(haveDisplay(), "a display (run under xvfb-run)");
    TempDir dir;
    const uint64_t limit = wharf::WFLargestRead();
    const uint64_t size = (kAddressSanitizer ? 64 : 256) * kMiB;
    const uint64_t tooLarge = limit / 10 * 9;
    // The text is a third larger than the bytes.
    const bool fits = size / 3 * 4 + kMiB < limit;
    const std::string documents = dir.file("home/Documents");
    fs::create_directories(documents);
    fs::create_directories(dir.file("Pictures"));
    writeSparse(documents + "/text.bin", size, 7);
    writeSparse(documents + "/textTooLarge.bin", tooLarge, 't');
    // Larger than a part of the results message (16 MiB).
    const std::size_t characters = (17 << 20) / 3;
    std::string euros = "aa";
    for (std::size_t i = 0; i < characters; ++i) euros += "\xE2\x82\xAC";
    writeFile(documents + "/characters.txt", euros);
    Value steps = fits ? Value{"characters", "base64", "base64TooLarge"} : Value{"characters", "base64TooLarge"};
    Value r = runMemoryPage(dir, WHARF_CONTRACT_BRIDGE,
                            {{"steps", steps}, {"base64", {{"size", size}}}, {"characters", {{"count", characters}}}});

    EXPECT_EQ(r["characters"], Value(std::vector<std::string>(3, "text"))) << r.dump();

    EXPECT_EQ(r["base64TooLarge"]["outcome"], 4) << r.dump();
    EXPECT_LE(r["base64TooLarge"].value("growth", 1e18), static_cast<double>(24 * kMiB)) << r.dump();
    if (!fits)
        GTEST_SKIP() << "a " << size / kMiB << " MiB read is larger than this machine's largest (" << limit / kMiB
                     << " MiB of text)";
    EXPECT_EQ(r["base64"]["outcome"], "bytes") << r.dump();
    // Its text is a third larger than the file: held once, with the bytes it
    // is made from, or with the part of it on its way.
    EXPECT_LE(r["base64"].value("growth", 1e18), (kAddressSanitizer ? 3.0 : 2.5) * static_cast<double>(size))
        << r.dump();
    // Once the page has it, the host lets the text go.
    EXPECT_LE(r["base64"].value("kept", 1e18), static_cast<double>(size / 4)) << r.dump();
}

}  // namespace
