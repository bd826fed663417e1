// The status bar and printing end to end: the real host under Xvfb on a
// bundle whose page shows a red status-bar strip, has it clicked and hidden,
// shows it again over the page and clicks it there (the window screenshotted
// at each step), then prints HTML to PDF, PostScript and SVG files and in
// grey, fails to print what cannot load or may not be written, prints to the
// file chosen in the printer picker, prints ten times at once, prints six
// pages to each format and onto files of a full disk, and prints itself
// through the print dialog of the utility plug-in, answered as a user would.
// One launch; the screenshots, the files and the page's report are checked.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

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
    static bool isGray(Pixel p) { return std::abs(p.r - p.g) <= 2 && std::abs(p.g - p.b) <= 2; }
    static bool isPageBlue(Pixel p) { return p.r == 0 && p.g == 0 && p.b == 255; }

private:
    GdkPixbuf* pixbuf_ = nullptr;
};

// The pages of a PostScript file: what follows each "%%Page:" comment.
std::vector<std::string> postScriptPages(const std::string& ps) {
    std::vector<std::string> pages;
    for (std::size_t at = ps.find("\n%%Page: "); at != std::string::npos;) {
        const std::size_t next = ps.find("\n%%Page: ", at + 1);
        pages.push_back(ps.substr(at, next == std::string::npos ? std::string::npos : next - at));
        at = next;
    }
    return pages;
}

// The pages of a printed SVG file, top to bottom: the groups its one page
// places one below another (each what the definition of its group holds).
// Empty when they do not stand one below another.
std::vector<std::string> svgPageGroups(const std::string& svg) {
    const std::size_t defsEnd = svg.find("</defs>");
    if (defsEnd == std::string::npos) return {};
    std::vector<std::string> pages;
    const std::string placed = svg.substr(defsEnd);
    const std::regex use(R"re(<use xlink:href="#(surface\d+)"(?: transform="matrix\(1,0,0,1,0,([0-9.]+)\)")?/>)re");
    double lastTop = -1;
    for (auto it = std::sregex_iterator(placed.begin(), placed.end(), use); it != std::sregex_iterator(); ++it) {
        const double top = (*it)[2].matched ? std::stod((*it)[2]) : 0;
        if (top <= lastTop) return {};
        lastTop = top;
        const std::size_t start = svg.find("<g id=\"" + (*it)[1].str() + "\"");
        if (start == std::string::npos || start > defsEnd) return {};
        const std::size_t end = std::min(svg.find("<g id=\"surface", start + 1), defsEnd);
        pages.push_back(svg.substr(start, end - start));
    }
    return pages;
}

// The first colour other than a grey that the text fills with, by name:
// PostScript's "r g b rg" or SVG's "fill:rgb(r%,g%,b%)".
std::string colourFilled(const std::string& text) {
    const std::regex fill(R"(\n([01]) ([01]) ([01]) rg\n|fill:rgb\((0|100)%,(0|100)%,(0|100)%\))");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), fill); it != std::sregex_iterator(); ++it) {
        const int offset = (*it)[1].matched ? 1 : 4;
        int rgb = 0;
        for (int i = 0; i < 3; ++i) rgb = rgb * 2 + ((*it)[offset + i].str() == "0" ? 0 : 1);
        static const char* const names[] = {"black", "blue", "green", "cyan", "red", "magenta", "yellow", "white"};
        if (rgb != 0 && rgb != 7) return names[rgb];
    }
    return "";
}

TEST(PrintStatusBarE2E, StripTapHideAndPrintingToFilesAndThroughTheDialog) {
    const char* display = std::getenv("DISPLAY");
    WHARF_REQUIRE_COMPONENT(display && *display, "a display (run under xvfb-run)");
    WHARF_REQUIRE_COMPONENT(!run("command -v pdfinfo pdftotext").empty(), "pdfinfo and pdftotext (poppler-utils)");
    // Screenshots and clicks go through the screen: no other test's window on it.
    wharf::test::PrivateDisplay screen;
    ASSERT_TRUE(screen.started()) << screen.why();
    TempDir dir;
    const std::string bundle = dir.file("bundle");
    wharf::test::copyBundle(std::string(WHARF_E2E_BUNDLES) + "/print", bundle);
    fs::copy_file(fs::path(WHARF_DEMO_WWW) / "wharf.js", fs::path(bundle) / "www" / "wharf.js");
    const std::string home = dir.file("home");
    // A link deeper into the home: through it, "../../.." still ends inside
    // the home, while the path read as written leaves it.
    fs::create_directories(home + "/Documents/a/b/c");
    fs::create_directory_symlink("a/b/c", home + "/Documents/deep");
    // Links out of the home: a file and a directory.
    wharf::test::writeFile(dir.file("victim.pdf"), "keep");
    fs::create_symlink(dir.file("victim.pdf"), home + "/link.pdf");
    fs::create_symlink(dir.file("victim.pdf"), home + "/link.ps");
    fs::create_directory(dir.file("away"));
    fs::create_directory_symlink(dir.file("away"), home + "/Documents/away");
    // A full disk in the home, holding files a print would replace.
    fs::create_directory(home + "/full");
    wharf::test::SmallFilesystem disk("size=256k,mode=0755", "tmpfs", home + "/full");
    if (!disk.mounted()) {
        if (wharf::test::inCI()) FAIL() << "missing in CI: " << disk.why();
        std::printf("printing onto a full disk is not tried: %s\n", disk.why().c_str());
    }
    const std::vector<std::pair<std::string, std::string>> kept = {{"keep.pdf", "%PDF-1.4 the old file\n%%EOF\n"},
                                                                   {"keep.ps", "%!PS-Adobe-3.0 the old file\n"},
                                                                   {"keep.svg", "<svg>the old file</svg>\n"}};
    if (disk.mounted()) {
        for (const auto& [name, text] : kept) wharf::test::writeFile(disk.file(name), text);
        ASSERT_EQ(disk.fill(), ENOSPC);
    }
    // A file a print replaces keeps its permissions.
    wharf::test::writeFile(home + "/six.ps", "the old file");
    fs::permissions(home + "/six.ps", fs::perms::owner_read | fs::perms::owner_write);
    wharf::test::writeFile(
        bundle + "/www/probe.js",
        "var UNREACHABLE_URL = 'http://127.0.0.1:" + std::to_string(wharf::test::closedPort()) + "/nothing.html';\n" +
            "var FULL_DIR = " + (disk.mounted() ? "'" + disk.path() + "'" : std::string("null")) + ";\n");

    wharf::test::E2ERun result = wharf::test::runE2EHost(WHARF_E2E_HOST, {"--bundle", bundle, "--home", home}, dir, {},
                                                         std::chrono::seconds(120));
    ASSERT_FALSE(result.timedOut) << result.err;
    const std::string text = readFile(home + "/e2e-report.json");
    ASSERT_FALSE(text.empty()) << result.err;
    const Value r = Value::parse(text);
    EXPECT_EQ(result.status, 0) << r.dump(2) << result.err;
    EXPECT_FALSE(r.contains("exception")) << r.dump(2);

    // The status bar: visible at _ready, then a tap, then hidden, then shown
    // over the page and tapped there.
    ASSERT_TRUE(r["events"].is_array()) << r.dump(2);
    EXPECT_EQ(r["events"], Value::parse(R"([true, {"type": "tap"}, false, true, {"type": "tap"}])")) << result.err;

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
    // Overlaid: the page fills the window and shows through the status bar,
    // which shows the time in dark text in its middle.
    {
        Screenshot shot(home + "/overlaid.png");
        ASSERT_TRUE(shot.loaded());
        for (int y : {0, 10, 19}) {
            EXPECT_TRUE(Screenshot::isPageBlue(shot.at(4, y))) << shot.at(4, y) << " at y " << y;
            EXPECT_TRUE(Screenshot::isPageBlue(shot.at(shot.width() - 4, y))) << shot.at(shot.width() - 4, y);
        }
        int text = 0;
        for (int y = 0; y < 20; ++y)
            for (int x = shot.width() / 2 - 40; x < shot.width() / 2 + 40; ++x)
                if (shot.at(x, y).b < 128) ++text;
        EXPECT_GT(text, 10) << "no time drawn over the page";
    }
    EXPECT_EQ(r["frameOverlaid"]["y"], 0);
    EXPECT_EQ(r["frameOverlaid"]["height"], r["frameOverlaid"]["windowHeight"]);

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

    // "graystyle": the red block prints grey, its text still text.
    EXPECT_EQ(r["gray"], true);
    EXPECT_NE(run("pdftotext '" + home + "/gray.pdf' -").find("Gray"), std::string::npos);
    run("pdftoppm -r 30 -f 1 -l 1 -png '" + home + "/gray.pdf' '" + dir.file("gray") + "'");
    {
        Screenshot page(dir.file("gray-1.png"));
        ASSERT_TRUE(page.loaded());
        const Pixel block = page.at(page.width() / 2, 40);
        EXPECT_TRUE(Screenshot::isGray(block) && block.r < 200) << block;
    }
    // PostScript and SVG by the file's extension.
    EXPECT_EQ(r["ps"], true);
    const std::string ps = readFile(home + "/out.ps");
    EXPECT_EQ(ps.rfind("%!PS-Adobe", 0), 0u) << ps.substr(0, 100);
    EXPECT_NE(ps.find("%%Pages: 1"), std::string::npos);
    EXPECT_EQ(r["svg"], true);
    const std::string svg = readFile(home + "/out.svg");
    EXPECT_NE(svg.find("<svg"), std::string::npos) << svg.substr(0, 200);
    EXPECT_NE(svg.find("<path"), std::string::npos);  // the heading's glyphs
    // A query or fragment names no file.
    EXPECT_EQ(r["query"], true);
    EXPECT_NE(run("pdftotext '" + home + "/q.pdf' -").find("Query"), std::string::npos);
    EXPECT_FALSE(fs::exists(home + "/q.pdf?x=1#top"));
    EXPECT_FALSE(fs::exists(home + "/q.pdf?x=1"));
    // Refused, and said why: a missing directory, links out of the home.
    EXPECT_EQ(r["missing"], false);
    EXPECT_NE(result.err.find("/Documents/missing/m.pdf refused: no such directory"), std::string::npos) << result.err;
    EXPECT_EQ(r["linkedFile"], false);
    EXPECT_EQ(r["linkedPostScript"], false);
    EXPECT_EQ(readFile(dir.file("victim.pdf")), "keep");
    EXPECT_EQ(r["linkedDirectory"], false);
    EXPECT_TRUE(fs::is_empty(dir.file("away")));
    // The picker offers GTK's print-to-file printer as PostScript: a page prints to it.
    EXPECT_EQ(r["picked"], "file://" + home + "/picked.ps");
    EXPECT_EQ(r["printedToPicked"], true);
    EXPECT_EQ(readFile(home + "/picked.ps").rfind("%!PS-Adobe", 0), 0u);
    // Ten prints at once, the first failing: each call heard of its own job.
    EXPECT_EQ(r["backToBack"], Value::parse("[false, true, true, true, true, true, true, true, true, true]"));
    for (int i = 1; i < 10; ++i)
        EXPECT_NE(run("pdftotext '" + home + "/back" + std::to_string(i) + ".pdf' -")
                      .find("Back to back " + std::to_string(i)),
                  std::string::npos)
            << i;
    // Grey without a border (the photo style) is grey too.
    EXPECT_EQ(r["photoGray"], true);
    run("pdftoppm -r 30 -f 1 -l 1 -png '" + home + "/photo.pdf' '" + dir.file("photo") + "'");
    {
        Screenshot page(dir.file("photo-1.png"));
        ASSERT_TRUE(page.loaded());
        const Pixel block = page.at(page.width() / 2, 40);
        EXPECT_TRUE(Screenshot::isGray(block) && block.r < 200) << block;
    }
    // Six pages to each format, read back page by page: each in its place
    // with its colour (and in PDF, its number).
    EXPECT_EQ(r["six"], Value::parse("[true, true, true]"));
    const char* const colours[] = {"red", "green", "blue", "yellow", "cyan", "magenta"};
    EXPECT_TRUE(std::regex_search(run("pdfinfo '" + home + "/six.pdf'"), std::regex(R"(Pages:\s+6\n)")));
    for (int page = 1; page <= 6; ++page) {
        const std::string n = std::to_string(page);
        EXPECT_NE(run("pdftotext -f " + n + " -l " + n + " '" + home + "/six.pdf' -").find("Page " + n + " of six"),
                  std::string::npos)
            << n;
    }
    const std::vector<std::string> psPages = postScriptPages(readFile(home + "/six.ps"));
    ASSERT_EQ(psPages.size(), 6u) << "pages of six.ps";
    EXPECT_EQ(fs::status(home + "/six.ps").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    const std::vector<std::string> svgPages = svgPageGroups(readFile(home + "/six.svg"));
    ASSERT_EQ(svgPages.size(), 6u) << "pages of six.svg";
    for (int page = 0; page < 6; ++page) {
        EXPECT_EQ(colourFilled(psPages[page]), colours[page]) << "six.ps page " << page + 1;
        EXPECT_EQ(colourFilled(svgPages[page]), colours[page]) << "six.svg page " << page + 1;
    }
    // On a full disk every print fails, and the files it would have replaced
    // are as they were, with nothing left beside them.
    if (disk.mounted()) {
        EXPECT_EQ(r["fullDisk"], Value::parse("[false, false, false]"));
        for (const auto& [name, text] : kept) EXPECT_EQ(readFile(disk.file(name)), text) << name;
        std::vector<std::string> left;
        for (const auto& entry : fs::directory_iterator(disk.path())) left.push_back(entry.path().filename());
        std::sort(left.begin(), left.end());
        EXPECT_EQ(left, (std::vector<std::string>{"filler", "keep.pdf", "keep.ps", "keep.svg"}));
    }
    EXPECT_TRUE(fs::is_empty(home + "/tmp")) << "the printed pages of a job are left behind";

    // The utility plug-in answers before the dialog; the job reports start,
    // then finish; a cancelled one start, then cancel.
    EXPECT_EQ(r["utilityAnswer7"], Value::parse(R"({"answer": null, "progressSoFar": 0})")) << r.dump(2);
    EXPECT_EQ(r["utility"], Value::parse(R"([
        {"id": 7, "remove": false, "args": ["start"]}, {"id": 7, "remove": true, "args": ["finish"]},
        {"id": 8, "remove": false, "args": ["start"]}, {"id": 8, "remove": true, "args": ["cancel"]}])"));
    EXPECT_NE(run("pdftotext '" + home + "/page.pdf' -").find("Print test page"), std::string::npos);
}

// A print killed midway (kill -9 as its pages, printed to PDF by WebKit, are
// rendered again as PostScript beside the target) leaves its files behind;
// the next launch on the same home removes them, and nothing that journals
// the page wrote first name: through each of its filesystems, in the host's
// own form and in that of earlier versions, naming files outside the home
// (by path, through "..", through a linked directory), files of other names
// and files of the scratch forms outside their places. Where the host keeps
// its journals the page can neither write nor print.
TEST(PrintStatusBarE2E, WhatAPrintKilledMidwayLeftIsGoneAfterARelaunchAndNothingAPageNoted) {
    const char* display = std::getenv("DISPLAY");
    WHARF_REQUIRE_COMPONENT(display && *display, "a display (run under xvfb-run)");
    TempDir dir;
    const std::string bundle = dir.file("bundle");
    wharf::test::copyBundle(std::string(WHARF_E2E_BUNDLES) + "/print-killed", bundle);
    fs::copy_file(fs::path(WHARF_DEMO_WWW) / "wharf.js", fs::path(bundle) / "www" / "wharf.js");
    const std::string home = dir.file("home");
    const std::string outside = dir.file("outside");
    const std::string state = dir.file("state");
    const std::string documents = home + "/Documents";
    fs::create_directories(documents);
    fs::create_directories(outside);
    fs::create_directory_symlink(outside, documents + "/link");

    // What the page's journals name, each there to be kept.
    const std::vector<std::string> named = {
        outside + "/victim.txt",
        outside + "/print-0badf00d.pdf",
        outside + "/.wharf-print-0badf00d",
        documents + "/../../outside/.wharf-print-1badf00d",
        documents + "/link/.wharf-print-2badf00d",
        documents + "/print-3badf00d.pdf",
        documents + "/precious.pdf",
    };
    // Named as the host notes its own files, with where they lie.
    const std::vector<std::string> namedWithPlace = {documents + "/.wharf-print-4badf00d",
                                                     outside + "/.wharf-print-5badf00d"};
    std::string earlierForm, ownForm;
    for (const std::string& path : named) {
        wharf::test::writeFile(path, "kept");
        earlierForm += "+" + path + "\n";
    }
    for (const std::string& path : namedWithPlace) {
        wharf::test::writeFile(path, "kept");
        struct stat st {};
        ASSERT_EQ(::stat(fs::path(path).parent_path().c_str(), &st), 0);
        ownForm += "+" + std::to_string(st.st_dev) + " " + std::to_string(st.st_ino) + " " + path;
        ownForm += '\0';
    }
    Value journals = Value::array();
    auto forge = [&](const std::string& directory, const std::string& code) {
        journals.push_back({{"directory", directory}, {"name", "print-journal-O" + code}, {"text", earlierForm}});
        journals.push_back({{"directory", directory}, {"name", "print-journal-N" + code}, {"text", ownForm}});
    };
    const std::pair<const char*, const char*> filesystems[] = {
        {"temporary", "tempo"}, {"persistent", "persi"},       {"library", "libra"}, {"library-nosync", "libns"},
        {"documents", "docum"}, {"documents-nosync", "docns"}, {"cache", "cache"},   {"root", "rootx"}};
    for (const auto& [name, code] : filesystems) forge(std::string("wffile://localhost/") + name + "/", code);
    // Where earlier versions kept their journals, by every route there.
    forge("wffile://localhost/library/Caches/", "libca");
    forge("wffile://localhost/root/Library/Caches/", "rooca");
    forge("file://" + home + "/Library/Caches/", "filca");
    forge("file://" + state + "/", "state");
    const Value forged = {{"journals", journals}, {"printTo", "file://" + state + "/print-journal-P.pdf"}};

    auto leftovers = [&] {
        std::vector<std::string> found;
        for (const char* where : {"/Documents", "/tmp"}) {
            std::error_code ec;
            for (const auto& entry : fs::directory_iterator(home + where, ec)) {
                const std::string name = entry.path().filename();
                if (name.find("badf00d") == std::string::npos &&
                    (name.starts_with(".wharf-print-") || (name.starts_with("print-") && name.ends_with(".pdf"))))
                    found.push_back(where + ("/" + name));
            }
        }
        std::sort(found.begin(), found.end());
        return found;
    };
    auto oldJournals = [&] {
        std::size_t found = 0;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(home + "/Library/Caches", ec))
            found += entry.path().filename().string().starts_with("print-journal-");
        return found;
    };
    const std::vector<std::string> args{"--bundle", bundle, "--home", home};
    const std::vector<std::string> environment{"XDG_STATE_HOME=" + state};

    wharf::test::writeFile(bundle + "/www/mode.js", "var PRINT = true;\nvar FORGE = " + forged.dump() + ";\n");
    ASSERT_TRUE(wharf::test::killAtFileEvent(
        [&] { return wharf::test::spawnE2EHost(WHARF_E2E_HOST, args, dir, environment, "printing"); }, documents,
        IN_CREATE, [](std::string_view name) { return name.starts_with(".wharf-print-"); }))
        << readFile(dir.file("printing-stderr.txt"));
    const std::vector<std::string> left = leftovers();
    ASSERT_EQ(left.size(), 2u) << "the file beside its target and WebKit's pages";
    EXPECT_TRUE(left[0].starts_with("/Documents/.wharf-print-")) << left[0];
    EXPECT_TRUE(left[1].starts_with("/tmp/print-")) << left[1];
    // Every journal reached its place, but where the host keeps its own.
    const Value report = Value::parse(readFile(home + "/e2e-report.json"));
    for (const Value& journal : journals) {
        const std::string key = journal["directory"].get<std::string>() + journal["name"].get<std::string>();
        if (key.find(state) != std::string::npos)
            EXPECT_TRUE(report[key].is_object()) << key << " " << report.dump();
        else
            EXPECT_EQ(report[key], Value(journal["text"].get<std::string>().size())) << key << " " << report.dump();
    }
    EXPECT_EQ(report["printed"], Value(false)) << report.dump();
    EXPECT_EQ(readFile(documents + "/print-journal-Ndocum"), ownForm) << "written as the host notes its own";
    for (const char* name : {"/print-journal-Ostate", "/print-journal-Nstate", "/print-journal-P.pdf"})
        EXPECT_FALSE(fs::exists(state + name)) << name;

    wharf::test::writeFile(bundle + "/www/mode.js", "var PRINT = false;\nvar FORGE = null;\n");
    const pid_t host = wharf::test::spawnE2EHost(WHARF_E2E_HOST, args, dir, environment, "relaunch");
    ASSERT_GT(host, 0);
    const auto deadline = std::chrono::steady_clock::now() + wharf::test::kHangDeadline;
    while ((!leftovers().empty() || oldJournals() != 0) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // Seen while the host runs: it empties its tmp directory as it ends.
    const std::vector<std::string> remaining = leftovers();
    const std::size_t unread = oldJournals();
    ::kill(host, SIGTERM);
    ::waitpid(host, nullptr, 0);
    const std::string log = readFile(dir.file("printing-stderr.txt")) + readFile(dir.file("relaunch-stderr.txt"));
    EXPECT_TRUE(remaining.empty()) << log;
    EXPECT_EQ(unread, 0u) << "journals where earlier versions kept theirs are read, then go";
    for (const std::string& file : left) EXPECT_NE(log.find(home + file), std::string::npos) << file << " " << log;
    EXPECT_FALSE(fs::exists(documents + "/long.ps"));
    for (const auto& list : {named, namedWithPlace})
        for (const std::string& path : list) EXPECT_TRUE(fs::exists(path)) << path;
    std::size_t removals = 0;
    for (std::size_t at = log.find("Removed "); at != std::string::npos; at = log.find("Removed ", at + 1)) ++removals;
    EXPECT_EQ(removals, left.size()) << log;
    EXPECT_TRUE(fs::exists(documents + "/print-journal-Ndocum")) << "a file of the page's own stays";
}

}  // namespace
