// The status bar and printing end to end: the real host under Xvfb on a
// bundle whose page shows a red status-bar strip, has it clicked and hidden
// (the window screenshotted at each step), then prints HTML to a PDF file,
// fails to print what cannot load or may not be written, and prints itself
// through the print dialog of the utility plug-in, answered as a user would.
// One launch; the screenshots, the PDFs and the page's report are checked.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>

#include "E2EProcess.h"
#include "PrivateDisplay.h"
#include "TestSupport.h"
#include "platform/Value.h"

namespace {

namespace fs = std::filesystem;
using wharf::platform::Value;
using wharf::test::readFile;
using wharf::test::TempDir;

std::string run(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
        pclose(p);
    }
    return out;
}

struct Pixel {
    int r = -1, g = -1, b = -1;
};

std::ostream& operator<<(std::ostream& out, const Pixel& p) {
    return out << "rgb(" << p.r << ", " << p.g << ", " << p.b << ")";
}

class Screenshot {
public:
    explicit Screenshot(const std::string& path) {
        GError* error = nullptr;
        pixbuf_ = gdk_pixbuf_new_from_file(path.c_str(), &error);
        if (error) g_error_free(error);
    }
    ~Screenshot() {
        if (pixbuf_) g_object_unref(pixbuf_);
    }
    bool loaded() const { return pixbuf_ != nullptr; }
    int width() const { return gdk_pixbuf_get_width(pixbuf_); }
    int height() const { return gdk_pixbuf_get_height(pixbuf_); }
    Pixel at(int x, int y) const {
        const guchar* p = gdk_pixbuf_get_pixels(pixbuf_) + y * gdk_pixbuf_get_rowstride(pixbuf_) +
                          x * gdk_pixbuf_get_n_channels(pixbuf_);
        return {p[0], p[1], p[2]};
    }
    // The rows from the top whose pixels at x are all pure red.
    int redRowsAt(int x) const {
        int rows = 0;
        while (rows < height() && isRed(at(x, rows))) ++rows;
        return rows;
    }
    static bool isRed(Pixel p) { return p.r == 255 && p.g == 0 && p.b == 0; }
    static bool isPageBlue(Pixel p) { return p.r == 0 && p.g == 0 && p.b == 255; }

private:
    GdkPixbuf* pixbuf_ = nullptr;
};

TEST(PrintStatusBarE2E, StripTapHideAndPrintingToFilesAndThroughTheDialog) {
    const char* display = std::getenv("DISPLAY");
    WHARF_REQUIRE_COMPONENT(display && *display, "a display (run under xvfb-run)");
    WHARF_REQUIRE_COMPONENT(!run("command -v pdfinfo pdftotext").empty(), "pdfinfo and pdftotext (poppler-utils)");
    // Screenshots and clicks go through the screen: no other test's window on it.
    wharf::test::PrivateDisplay screen;
    ASSERT_TRUE(screen.started()) << screen.why();
    TempDir dir;
    const std::string bundle = dir.file("bundle");
    fs::copy(fs::path(WHARF_E2E_BUNDLES) / "print", bundle, fs::copy_options::recursive);
    fs::copy_file(fs::path(WHARF_DEMO_WWW) / "wharf.js", fs::path(bundle) / "www" / "wharf.js");
    const std::string home = dir.file("home");
    // A link deeper into the home: through it, "../../.." still ends inside
    // the home, while the path read as written leaves it.
    fs::create_directories(home + "/Documents/a/b/c");
    fs::create_directory_symlink("a/b/c", home + "/Documents/deep");
    wharf::test::writeFile(
        bundle + "/www/probe.js",
        "var UNREACHABLE_URL = 'http://127.0.0.1:" + std::to_string(wharf::test::closedPort()) + "/nothing.html';\n");

    wharf::test::E2ERun result = wharf::test::runE2EHost(WHARF_E2E_HOST, {"--bundle", bundle, "--home", home}, dir, {},
                                                         std::chrono::seconds(120));
    ASSERT_FALSE(result.timedOut) << result.err;
    const std::string text = readFile(home + "/e2e-report.json");
    ASSERT_FALSE(text.empty()) << result.err;
    const Value r = Value::parse(text);
    EXPECT_EQ(result.status, 0) << r.dump(2) << result.err;
    EXPECT_FALSE(r.contains("exception")) << r.dump(2);

    // The status bar: visible at _ready, then a tap, then hidden.
    ASSERT_TRUE(r["events"].is_array()) << r.dump(2);
    EXPECT_EQ(r["events"], Value::parse(R"([true, {"type": "tap"}, false])")) << result.err;

    // Not overlaying, with "#FF0000": a red strip of 20 px, the page below it.
    {
        Screenshot shot(home + "/strip.png");
        ASSERT_TRUE(shot.loaded());
        for (int x : {0, 4, 200, shot.width() - 1}) {
            EXPECT_EQ(shot.redRowsAt(x), 20) << "at x " << x;
            EXPECT_TRUE(Screenshot::isPageBlue(shot.at(x, 20))) << shot.at(x, 20) << " at x " << x;
        }
        EXPECT_TRUE(Screenshot::isPageBlue(shot.at(5, shot.height() - 1))) << shot.at(5, shot.height() - 1);
    }
    EXPECT_EQ(r["frameWithStrip"]["y"], 20);
    EXPECT_EQ(r["frameWithStrip"]["height"].get<int>(), r["frameWithStrip"]["windowHeight"].get<int>() - 20);
    // Hidden: the web view starts at the top and fills the window.
    {
        Screenshot shot(home + "/hidden.png");
        ASSERT_TRUE(shot.loaded());
        EXPECT_EQ(shot.redRowsAt(4), 0);
        EXPECT_TRUE(Screenshot::isPageBlue(shot.at(4, 0)));
        EXPECT_TRUE(Screenshot::isPageBlue(shot.at(shot.width() - 1, 10)));
    }
    EXPECT_EQ(r["frameHidden"]["y"], 0);
    EXPECT_EQ(r["frameHidden"]["height"], r["frameHidden"]["windowHeight"]);

    // Printing is available; HTML prints landscape to the PDF file it names.
    EXPECT_EQ(r["check"], Value::parse("[true, -1]"));
    EXPECT_EQ(r["hello"], true);
    const std::string hello = home + "/hello.pdf";
    const std::string info = run("pdfinfo '" + hello + "'");
    std::smatch size;
    ASSERT_TRUE(std::regex_search(info, size, std::regex(R"(Page size:\s+([0-9.]+) x ([0-9.]+) pts)"))) << info;
    EXPECT_GT(std::stod(size[1]), std::stod(size[2])) << info;
    EXPECT_TRUE(std::regex_search(info, std::regex(R"(Pages:\s+1\n)"))) << info;
    EXPECT_NE(run("pdftotext '" + hello + "' -").find("Hello"), std::string::npos);

    // A URL that cannot load answers false; so does a file outside the home.
    EXPECT_EQ(r["unreachable"], false);
    EXPECT_FALSE(fs::exists(home + "/unreachable.pdf"));
    // A file the page may not read is no content: no blank page reported as printed.
    EXPECT_EQ(r["refused"], false);
    EXPECT_FALSE(fs::exists(home + "/refused.pdf"));
    EXPECT_EQ(r["outside"], false);
    EXPECT_FALSE(fs::exists(dir.file("outside.pdf")));
    // A printer URL naming no queue ends the job unprinted.
    EXPECT_EQ(r["noSuchQueue"], false);

    // The utility plug-in answers before the dialog; the job reports start,
    // then finish; a cancelled one start, then cancel.
    EXPECT_EQ(r["utilityAnswer7"], Value::parse(R"({"answer": null, "progressSoFar": 0})")) << r.dump(2);
    EXPECT_EQ(r["utility"], Value::parse(R"([
        {"id": 7, "remove": false, "args": ["start"]}, {"id": 7, "remove": true, "args": ["finish"]},
        {"id": 8, "remove": false, "args": ["start"]}, {"id": 8, "remove": true, "args": ["cancel"]}])"));
    EXPECT_NE(run("pdftotext '" + home + "/page.pdf' -").find("Print test page"), std::string::npos);
}

}  // namespace
