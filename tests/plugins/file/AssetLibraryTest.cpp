// The photo library: the asset store on a real Pictures directory and the
// filesystem that serves it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <thread>

#include "Await.h"
#include "TestSupport.h"
#include "platform/base/FileDescriptor.h"
#include "platform/storage/AssetStore.h"
#include "plugins/file/WFAssetLibraryFilesystem.h"

namespace wharf {
namespace {

namespace fs = std::filesystem;
using platform::AssetStore;

class AssetLibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        content.resize(300);
        for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i);
        test::writeFile(pictures.file("trip/beach one.jpg"), content);
        store = std::make_shared<AssetStore>(pictures.path());
        library = std::make_shared<WFAssetLibraryFilesystem>("assets-library", store);
    }
    // The answer of a read that calls back on another thread.
    struct Read {
        std::optional<platform::Bytes> data;
        std::optional<std::string> mimeType;
        int error = -1;
    };
    Read read(const std::string& url, int64_t start, int64_t end) {
        return test::await<Read>([&](auto answer) {
                   library->readFileAtURL(
                       WFFilesystemURL::fileSystemURLWithString(url), start, end,
                       [answer](std::optional<platform::Bytes> d, std::optional<std::string> m, int32_t e) {
                           answer(Read{std::move(d), std::move(m), e});
                       });
               })
            .value_or(Read{});
    }

    test::TempDir pictures;
    std::string content;
    std::shared_ptr<AssetStore> store;
    std::shared_ptr<WFAssetLibraryFilesystem> library;
    const std::string url = AssetStore::urlForRelativePath("trip/beach one.jpg");
};

TEST_F(AssetLibraryTest, AssetsAreFoundOnlyInsideTheStore) {
    EXPECT_EQ(url, "assets-library://asset/asset.JPG?id=trip%2Fbeach%20one.jpg&ext=JPG");
    std::shared_ptr<const platform::Asset> asset;
    ASSERT_EQ(store->lookup(url, &asset, nullptr), AssetStore::Outcome::Found);
    EXPECT_EQ(asset->fileName(), "beach one.jpg");
    EXPECT_EQ(asset->size(), 300u);
    EXPECT_EQ(asset->mimeType(), "image/jpeg");

    test::TempDir outside;
    test::writeFile(outside.file("secret.jpg"), "secret");
    fs::create_directory_symlink(outside.path(), pictures.file("link"));
    for (const std::string& relative :
         std::vector<std::string>{"missing.jpg", "../secret.jpg", outside.file("secret.jpg"), "link/secret.jpg", "trip",
                                  "trip/./beach one.jpg", ""})
        EXPECT_EQ(store->lookup(AssetStore::urlForRelativePath(relative), nullptr, nullptr),
                  AssetStore::Outcome::NotFound)
            << relative;
    EXPECT_EQ(store->lookup("assets-library://asset/asset.JPG?ext=JPG", nullptr, nullptr),
              AssetStore::Outcome::NotFound);
    // The store itself renamed away and a link to a directory outside put in
    // its place: nothing is found there until the store is back.
    test::writeFile(outside.file("trip/beach one.jpg"), "outside the store");
    fs::rename(pictures.path(), pictures.path() + "-away");
    fs::create_directory_symlink(outside.path(), pictures.path());
    EXPECT_EQ(store->lookup(url, nullptr, nullptr), AssetStore::Outcome::NotFound);
    fs::remove(pictures.path());
    fs::rename(pictures.path() + "-away", pictures.path());
    EXPECT_EQ(store->lookup(url, nullptr, nullptr), AssetStore::Outcome::Found);
}

// Another process renames inside the store while assets are looked up and
// read: its directory trades places with a link to a directory outside, and
// the picture with a pipe. Every read gives the picture's own bytes or
// nothing, and none waits for a writer that never comes.
TEST_F(AssetLibraryTest, RenamesInTheStoreNeitherLeadOutNorHoldAReadUp) {
    test::TempDir outside;
    test::writeFile(outside.file("beach one.jpg"), "outside the store");
    fs::create_directory_symlink(outside.path(), pictures.file("elsewhere"));
    ASSERT_EQ(::mkfifo(pictures.file("trip/pipe").c_str(), 0600), 0);
    const platform::FileDescriptor top(::open(pictures.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    const platform::FileDescriptor trip(::open(pictures.file("trip").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(top && trip);

    constexpr int kReads = 4000;
    std::atomic<bool> reading{true};
    std::thread swapper([&] {
        for (int i = 0; i < 400000 && reading; ++i) {
            if (i % 2)
                (void)::renameat2(top.get(), "trip", top.get(), "elsewhere", RENAME_EXCHANGE);
            else
                (void)::renameat2(trip.get(), "beach one.jpg", trip.get(), "pipe", RENAME_EXCHANGE);
        }
    });
    struct Tally {
        int found = 0, outside = 0, wrong = 0;
    };
    auto reader = std::async(std::launch::async, [&] {
        Tally tally;
        for (int i = 0; i < kReads; ++i) {
            std::shared_ptr<const platform::Asset> asset;
            if (store->lookup(url, &asset, nullptr) != AssetStore::Outcome::Found) continue;
            auto bytes = asset->read(0, asset->size());
            const std::string text = bytes ? std::string(bytes->begin(), bytes->end()) : "";
            ++tally.found;
            tally.outside += text == "outside the store";
            tally.wrong += text != content && text != "outside the store";
        }
        return tally;
    });
    const bool done = reader.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    reading = false;
    swapper.join();
    // A read held by the pipe is let go: a writer comes and goes.
    for (const char* name : {"pipe", "beach one.jpg"}) {
        const int writer = ::openat(trip.get(), name, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (writer >= 0) ::close(writer);
    }
    const Tally tally = reader.get();
    EXPECT_TRUE(done) << "a read waited for a writer of the pipe";
    EXPECT_EQ(tally.outside, 0) << "of " << tally.found << " assets read";
    EXPECT_EQ(tally.wrong, 0);
    EXPECT_GT(tally.found, 0);
}

TEST_F(AssetLibraryTest, ReadsTakeTheAskedRangeOffTheCallingThread) {
    Read whole = read(url, 0, -1);
    ASSERT_TRUE(whole.data);
    EXPECT_EQ(std::string(whole.data->begin(), whole.data->end()), content);
    EXPECT_EQ(whole.mimeType, "image/jpeg");
    Read middle = read(url, 10, 20);
    ASSERT_TRUE(middle.data);
    EXPECT_EQ(std::string(middle.data->begin(), middle.data->end()), content.substr(10, 10));
    // An end that is not after the start asks for the whole size from the
    // start: the rest of the asset.
    for (const auto& [start, end] : std::vector<std::pair<int64_t, int64_t>>{{20, 10}, {20, 20}, {20, 0}, {20, -1}}) {
        Read rest = read(url, start, end);
        EXPECT_EQ(rest.error, 0);
        ASSERT_TRUE(rest.data) << start << " " << end;
        EXPECT_EQ(std::string(rest.data->begin(), rest.data->end()), content.substr(20)) << start << " " << end;
    }
    // The file form of the URL names the same asset.
    Read viaFileURL = read(WFFilesystemURL::fileSystemURLWithString(url).absoluteURL(), 290, -1);
    ASSERT_TRUE(viaFileURL.data);
    EXPECT_EQ(viaFileURL.data->size(), 10u);
    EXPECT_EQ(read(AssetStore::urlForRelativePath("nope.jpg"), 0, -1).error, NOT_FOUND_ERR);

    // A range larger than the host may read is refused, before anything is
    // read, as a local file's is; the rest of it may be read.
    ::setenv("WHARF_LARGEST_READ", "200", 1);
    struct Restore {
        ~Restore() { ::unsetenv("WHARF_LARGEST_READ"); }
    } restore;
    EXPECT_EQ(read(url, 0, -1).error, NOT_READABLE_ERR);
    EXPECT_EQ(read(url, 0, 201).error, NOT_READABLE_ERR);
    EXPECT_EQ(read(url, 100, -1).data->size(), 200u);
}

TEST_F(AssetLibraryTest, EntriesAndMetadata) {
    const auto fsURL = WFFilesystemURL::fileSystemURLWithString(url);
    WFPluginResult entry = library->entryForLocalURI(fsURL);
    EXPECT_EQ(entry.message()["name"], "asset.JPG?id=trip%2Fbeach%20one.jpg&ext=JPG");
    EXPECT_EQ(entry.message()["nativeURL"], url);
    EXPECT_EQ(entry.message()["isFile"], true);

    auto answer = test::await<WFPluginResult>([&](auto done) { library->getFileMetadataForURL(fsURL, done); });
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->message()["size"], 300);
    EXPECT_EQ(answer->message()["name"], "beach one.jpg");
    EXPECT_EQ(answer->message()["type"], "image/jpeg");
    struct stat st {};
    ASSERT_EQ(::stat(pictures.file("trip/beach one.jpg").c_str(), &st), 0);
    EXPECT_NEAR(answer->message()["lastModifiedDate"].get<double>(),
                st.st_mtim.tv_sec * 1000.0 + st.st_mtim.tv_nsec / 1e6, 0.001);
    // Nothing in the library changes, and each refusal says so in its own way.
    auto refusal = [](const WFPluginResult& r) { return std::make_pair(r.status(), r.message()); };
    using R = std::pair<int, platform::Value>;
    EXPECT_EQ(refusal(library->writeToFileAtURL(fsURL, {1}, false)), (R{6, NO_MODIFICATION_ALLOWED_ERR}));
    EXPECT_EQ(refusal(library->truncateFileAtURL(fsURL, 0)), (R{6, NO_MODIFICATION_ALLOWED_ERR}));
    EXPECT_EQ(refusal(library->removeFileAtURL(fsURL)), (R{6, INVALID_MODIFICATION_ERR}));
    EXPECT_EQ(refusal(library->getParentForURL(fsURL)), (R{6, NOT_READABLE_ERR}));
    EXPECT_EQ(refusal(library->setMetadataForURL(fsURL, {{"com.apple.MobileBackup", true}})), (R{9, nullptr}));
    EXPECT_EQ(refusal(library->getFileForURL(fsURL, "x", platform::Value::object())),
              (R{5, "getFile not supported for assets-library URLs."}));
    EXPECT_EQ(refusal(library->recursiveRemoveFileAtURL(fsURL)),
              (R{5, "removeRecursively not supported for assets-library URLs."}));
    EXPECT_EQ(refusal(library->readEntriesAtURL(fsURL)), (R{5, "readEntries not supported for assets-library URLs."}));
    std::optional<WFPluginResult> copied;
    library->copyFileToURL(fsURL, "x.jpg", library, fsURL, true, [&](WFPluginResult r) { copied = std::move(r); });
    ASSERT_TRUE(copied);
    EXPECT_EQ(refusal(*copied), (R{6, INVALID_MODIFICATION_ERR}));
    EXPECT_EQ(test::readFile(pictures.file("trip/beach one.jpg")), content);
}

}  // namespace
}  // namespace wharf
