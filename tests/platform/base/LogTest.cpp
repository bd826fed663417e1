#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <glib.h>

#include "TestSupport.h"
#include "platform/base/Error.h"
#include "platform/base/Log.h"

using namespace wharf::platform;

namespace {

// Sends stderr to a file while alive.
class StderrToFile {
public:
    explicit StderrToFile(const std::string& path) {
        fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~StderrToFile() {
        fflush(stderr);
        dup2(saved_, STDERR_FILENO);
        ::close(saved_);
    }

private:
    int saved_ = -1;
};

TEST(LogTest, StderrLinesCarryThePrefixAndAreNotInterleaved) {
    wharf::test::TempDir dir;
    const std::string path = dir.file("stderr.txt");
    constexpr int kThreads = 4, kLines = 200;
    {
        StderrToFile redirect(path);
        log("hello %s %d", "world", 42);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([t] {
                const std::string filler(5000, static_cast<char>('a' + t));  // longer than one pipe write
                for (int i = 0; i < kLines; ++i) logMessage(std::to_string(t) + ":" + filler);
            });
        for (auto& t : threads) t.join();
    }
    const std::string out = wharf::test::readFile(path);
    const std::string firstLine = out.substr(0, out.find('\n'));
    EXPECT_TRUE(g_regex_match_simple(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} [^\[ ]+\[\d+:\d+\] hello world 42$)",
                                     firstLine.c_str(), G_REGEX_DEFAULT, G_REGEX_MATCH_DEFAULT))
        << firstLine;

    // Every line whole: prefix, one thread's filler, newline.
    std::size_t start = out.find('\n') + 1, lines = 0;
    while (start < out.size()) {
        auto end = out.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        const std::string line = out.substr(start, end - start);
        auto colon = line.find("] ");
        ASSERT_NE(colon, std::string::npos);
        const std::string message = line.substr(colon + 2);
        ASSERT_EQ(message.size(), 5002u);
        EXPECT_EQ(message.find_first_not_of(message[2], 2), std::string::npos);
        ++lines;
        start = end + 1;
    }
    EXPECT_EQ(lines, static_cast<std::size_t>(kThreads * kLines));
}

TEST(LogTest, CapturesSeeBareMessagesFromEveryThread) {
    setLogToStderr(false);
    LogCapture outer;
    {
        LogCapture inner;
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([t] {
                for (int i = 0; i < 250; ++i) log("thread %d line %d", t, i);
            });
        for (auto& t : threads) t.join();
        EXPECT_EQ(inner.count("thread "), 1000u);
        EXPECT_EQ(inner.count("thread 3 line 249"), 1u);
        inner.clear();
        EXPECT_TRUE(inner.lines().empty());
    }
    log("%s", std::string(2000, 'z').c_str());  // beyond the formatting buffer
    setLogToStderr(true);
    EXPECT_EQ(outer.count("thread "), 1000u);
    ASSERT_FALSE(outer.lines().empty());
    EXPECT_EQ(outer.lines().back(), std::string(2000, 'z'));
    EXPECT_EQ(outer.lines().front().rfind("thread ", 0), 0u);  // no prefix
}

TEST(ErrorTest, Descriptions) {
    Error plain("SQLDatabase", 14);
    EXPECT_EQ(plain.localizedDescription(), "The operation couldn\u2019t be completed. (SQLDatabase error 14.)");
    EXPECT_EQ(plain.description(),
              "Error Domain=SQLDatabase Code=14 \"The operation couldn\u2019t be completed. (SQLDatabase error "
              "14.)\" UserInfo={}");
    Error described = Error::withDescription("com.rovude.nimbus.core", -2, "bad \xff options");
    EXPECT_EQ(described.localizedDescription(), "bad \xff options");
    EXPECT_NE(described.description().find("Code=-2 \"bad"), std::string::npos);  // invalid UTF-8 does not throw
    Error notText("D", 1, Value{{kLocalizedDescriptionKey, 5}});
    EXPECT_EQ(notText.localizedDescription(), "The operation couldn\u2019t be completed. (D error 1.)");
    Error notObject("D", 2, Value::array());
    EXPECT_TRUE(notObject.userInfo.is_object());
}

}  // namespace
