// The load-state delegate as the host drives it: the web view's events (as
// WebKit sends them, a finish after every failure) go through the event
// adapter into the state machine, which hands the wrapped delegate exactly one
// start and one finish, or one failure, per top-level load.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/WFUIWebViewDelegate.h"
#include "host/testing/FakeWebView.h"
#include "platform/base/Log.h"

namespace wharf::test {
namespace {

using platform::Error;
using platform::NavigationType;
using platform::URLRequest;
using S = WFUIWebViewDelegate;

// Records what reaches the wrapped delegate.
class Recorder : public UIWebViewDelegate {
public:
    bool webViewShouldStartLoadWithRequest(platform::WebView*, const URLRequest& request, NavigationType) override {
        events.push_back("should:" + request.url.absoluteString());
        return allow;
    }
    void webViewDidStartLoad(platform::WebView*) override { events.push_back("start"); }
    void webViewDidFinishLoad(platform::WebView*) override { events.push_back("finish"); }
    void webViewDidFailLoadWithError(platform::WebView*, const Error& error) override {
        events.push_back("fail:" + std::to_string(error.code));
    }
    std::vector<std::string> events;
    bool allow = true;
};

class LoadStateTest : public ::testing::Test {
protected:
    void SetUp() override { view.setObserver(&adapter); }
    // Everything forwarded except the questions.
    std::vector<std::string> forwarded() const {
        std::vector<std::string> out;
        for (auto& e : recorder->events)
            if (e.rfind("should:", 0) != 0) out.push_back(e);
        return out;
    }

    testing::FakeWebView view;
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
    std::shared_ptr<S> delegate = std::make_shared<S>(recorder);
    WFWebViewEventAdapter adapter{&view, delegate, recorder};
    platform::LogCapture log;
};

TEST_F(LoadStateTest, LoadsRedirectsAndRefusals) {
    // A refused navigation asks once and changes nothing.
    recorder->allow = false;
    EXPECT_FALSE(view.navigate("https://127.0.0.1/refused"));
    EXPECT_EQ(delegate->state(), S::STATE_IDLE);
    recorder->allow = true;

    EXPECT_TRUE(view.navigate("file:///www/index.html"));
    EXPECT_EQ(delegate->state(), S::STATE_WAITING_FOR_LOAD_FINISH);
    // A redirect of the page is silent and does not start another load.
    view.redirect("file:///www/moved.html");
    EXPECT_FALSE(log.contains("Detected redirect"));
    // A frame's navigation is only a question, answered for its scheme.
    EXPECT_TRUE(view.navigateFrame("tel:123"));
    EXPECT_EQ(delegate->loadCount(), 1);
    view.finish();
    EXPECT_EQ(delegate->state(), S::STATE_IDLE);
    EXPECT_EQ(delegate->loadCount(), 0);
    EXPECT_EQ(recorder->events,
              (std::vector<std::string>{"should:https://127.0.0.1/refused", "should:file:///www/index.html", "start",
                                        "should:tel:123", "finish"}));
}

TEST_F(LoadStateTest, AFailedLoadIsNeverReportedAsFinished) {
    view.navigate("http://127.0.0.1:1/start.html");
    view.fail(-1004);  // and WebKit's finish of the same load
    EXPECT_EQ(forwarded(), (std::vector<std::string>{"start", "fail:-1004"}));
    EXPECT_EQ(delegate->state(), S::STATE_IDLE);
    // The next page loads normally.
    view.navigate("file:///www/error.html");
    view.finish();
    EXPECT_EQ(forwarded(), (std::vector<std::string>{"start", "fail:-1004", "start", "finish"}));
}

TEST_F(LoadStateTest, ACancelledLoadThenTheNextOne) {
    view.navigate("file:///www/a.html");
    view.fail(platform::kURLErrorCancelled);
    EXPECT_EQ(delegate->state(), S::STATE_CANCELLED);
    EXPECT_EQ(delegate->loadCount(), 0);
    view.navigate("file:///www/b.html");
    EXPECT_EQ(delegate->state(), S::STATE_WAITING_FOR_LOAD_FINISH);
    view.finish();
    EXPECT_EQ(forwarded(), (std::vector<std::string>{"start", "fail:-999", "start", "finish"}));
    EXPECT_EQ(delegate->state(), S::STATE_IDLE);
}

TEST_F(LoadStateTest, MachineGoesOnWithoutTheWrappedDelegate) {
    recorder.reset();
    view.navigate("file:///www/a.html");
    view.finish();
    EXPECT_EQ(delegate->state(), S::STATE_IDLE);
    view.navigate("file:///www/b.html");
    view.fail(-1100);
    EXPECT_EQ(delegate->state(), S::STATE_IDLE);
}

TEST(FrameRequests, SpecialSchemesAreAllowedWithoutTheEngine) {
    for (const char* url : {"mailto:a@b.c", "tel:123", "blob:file:///x", "sms:123", "data:text/plain,hi"}) {
        URLRequest r;
        r.url = *platform::Url::parse(url);
        EXPECT_TRUE(S::shouldLoadRequest(r)) << url;
    }
}

}  // namespace
}  // namespace wharf::test
