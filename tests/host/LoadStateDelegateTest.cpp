// The load-state delegate: one start and one finish (or failure) per
// top-level load, whatever frames, redirects and cancellations the web view
// reports; and the adapter that feeds it from the platform web view's events.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/WFUIWebViewDelegate.h"
#include "host/testing/FakeWebView.h"
#include "platform/Log.h"

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
        events.push_back("fail:" + error.domain + ":" + std::to_string(error.code));
    }
    std::vector<std::string> events;
    bool allow = true;
};

URLRequest request(const std::string& url, const std::string& mainDocument = "") {
    URLRequest r;
    r.url = *platform::Url::parse(url);
    r.mainDocumentURL = *platform::Url::parse(mainDocument.empty() ? url : mainDocument);
    return r;
}

Error failure(int64_t code) { return Error::withDescription(platform::kURLErrorDomain, code, "boom"); }

class LoadStateTest : public ::testing::Test {
protected:
    bool should(const std::string& url, const std::string& mainDocument = "") {
        return delegate->webViewShouldStartLoadWithRequest(&view, request(url, mainDocument), NavigationType::Other);
    }
    void start() { delegate->webViewDidStartLoad(&view); }
    void finish() { delegate->webViewDidFinishLoad(&view); }
    void fail(int64_t code) { delegate->webViewDidFailLoadWithError(&view, failure(code)); }
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
    platform::LogCapture log;
};

TEST_F(LoadStateTest, PlainLoadForwardsOneStartAndOneFinish) {
    EXPECT_EQ(delegate->state(), S::STATE_IDLE);
    EXPECT_EQ(delegate->loadCount(), -1);
    EXPECT_TRUE(should("file:///www/index.html"));
    EXPECT_EQ(delegate->state(), S::STATE_WAITING_FOR_LOAD_START);
    EXPECT_EQ(delegate->loadCount(), 0);
    start();
    EXPECT_EQ(delegate->state(), S::STATE_WAITING_FOR_LOAD_FINISH);
    finish();
    EXPECT_EQ(forwarded(), (std::vector<std::string>{"start", "finish"}));
    EXPECT_EQ(delegate->state(), S::STATE_IDLE);
    EXPECT_EQ(delegate->loadCount(), 0);
}

TEST_F(LoadStateTest, FramesCountButOnlyThePagesLastFinishIsForwarded) {
    should("file:///www/index.html");
    start();
    // The frame's question is answered without a state change.
    EXPECT_TRUE(should("https://frame.example/", "file:///www/index.html"));
    EXPECT_EQ(delegate->state(), S::STATE_WAITING_FOR_LOAD_FINISH);
    EXPECT_EQ(delegate->loadCount(), 1);
    start();
    EXPECT_EQ(delegate->loadCount(), 2);
    finish();
    EXPECT_EQ(delegate->loadCount(), 1);
    EXPECT_EQ(forwarded(), (std::vector<std::string>{"start"}));
    finish();
    EXPECT_EQ(forwarded(), (std::vector<std::string>{"start", "finish"}));
    EXPECT_EQ(delegate->state(), S::STATE_IDLE);
}

TEST_F(LoadStateTest, FrameRequestsForSpecialSchemesAreAllowed) {
    for (const char* url : {"mailto:a@b.c", "tel:123", "blob:file:///x", "sms:123", "data:text/plain,hi"})
        EXPECT_TRUE(S::shouldLoadRequest(request(url))) << url;
    EXPECT_TRUE(should("data:text/plain,hi", "file:///www/index.html"));
    EXPECT_EQ(delegate->state(), S::STATE_IDLE);
}

TEST_F(LoadStateTest, WrappedDelegateRefusalChangesNothing) {
    recorder->allow = false;
    EXPECT_FALSE(should("file:///www/index.html"));
    EXPECT_EQ(delegate->state(), S::STATE_IDLE);
    EXPECT_EQ(delegate->loadCount(), -1);
}

TEST_F(LoadStateTest, FragmentChangeIsNotALoadButAReloadIs) {
    view.setURL(platform::Url::parse("file:///www/index.html#a"));
    EXPECT_TRUE(should("file:///www/index.html#b"));
    EXPECT_EQ(delegate->state(), S::STATE_IDLE);
    // The same URL again: a reload goes through the machine.
    EXPECT_TRUE(should("file:///www/index.html#a"));
    EXPECT_EQ(delegate->state(), S::STATE_WAITING_FOR_LOAD_START);
}

TEST_F(LoadStateTest, RedirectWhileWaitingForFinish) {
    should("http://127.0.0.1/a");
    start();
    should("http://127.0.0.1/b");
    EXPECT_EQ(delegate->state(), S::STATE_WAITING_FOR_LOAD_FINISH);
    EXPECT_FALSE(log.contains("Detected redirect"));
    start();  // a frame: count 2
    should("http://127.0.0.1/c");
    EXPECT_TRUE(log.contains("WFWebViewDelegate: Detected redirect when loadCount=2"));
    EXPECT_EQ(delegate->loadCount(), 2);
}

TEST_F(LoadStateTest, CancelledBeforeStartThenStartResumes) {
    should("file:///www/index.html");
    fail(platform::kURLErrorCancelled);
    EXPECT_EQ(delegate->state(), S::STATE_CANCELLED);
    start();
    EXPECT_EQ(delegate->state(), S::STATE_WAITING_FOR_LOAD_FINISH);
    EXPECT_EQ(forwarded(), (std::vector<std::string>{"fail:NSURLErrorDomain:-999", "start"}));
}

TEST_F(LoadStateTest, FailureTransitions) {
    // Other code while waiting for start: idle, forwarded.
    should("file:///a");
    fail(-1100);
    EXPECT_EQ(delegate->state(), S::STATE_IDLE);
    // Cancelled while waiting for finish: cancelled, count - 1, forwarded.
    should("file:///b");
    start();
    fail(platform::kURLErrorCancelled);
    EXPECT_EQ(delegate->state(), S::STATE_CANCELLED);
    EXPECT_EQ(delegate->loadCount(), 0);
    // A new page from the cancelled state waits for its start afresh.
    should("file:///c");
    EXPECT_EQ(delegate->state(), S::STATE_WAITING_FOR_LOAD_START);
    EXPECT_EQ(delegate->loadCount(), 0);
    // Other code with count 1: idle, count -1, forwarded.
    start();
    fail(-1001);
    EXPECT_EQ(delegate->state(), S::STATE_IDLE);
    EXPECT_EQ(delegate->loadCount(), -1);
    EXPECT_EQ(forwarded(), (std::vector<std::string>{"fail:NSURLErrorDomain:-1100", "start",
                                                     "fail:NSURLErrorDomain:-999", "start",
                                                     "fail:NSURLErrorDomain:-1001"}));
    // Other code with count 2: count -1, state stays, nothing forwarded.
    should("file:///d");
    start();
    start();
    recorder->events.clear();
    fail(-1001);
    EXPECT_EQ(delegate->state(), S::STATE_WAITING_FOR_LOAD_FINISH);
    EXPECT_EQ(delegate->loadCount(), -1);
    EXPECT_TRUE(forwarded().empty());
}

TEST_F(LoadStateTest, NavigationWhileWaitingForStartSynthesisesAFailure) {
    should("file:///a");
    EXPECT_TRUE(should("file:///b"));
    EXPECT_TRUE(log.contains("WFWebViewDelegate: Navigation started when state=1"));
    EXPECT_EQ(forwarded(), (std::vector<std::string>{"fail:WFUIWebViewDelegate:1"}));
    EXPECT_EQ(delegate->state(), S::STATE_IDLE);
    EXPECT_EQ(delegate->loadCount(), 0);
}

TEST_F(LoadStateTest, UnexpectedEventsAreLoggedAndIgnored) {
    start();  // idle: nothing
    finish();
    fail(-1);
    EXPECT_TRUE(forwarded().empty());
    should("file:///a");
    finish();
    EXPECT_TRUE(log.contains("WFWebViewDelegate: Unexpected didFinish while waiting for load start."));
    EXPECT_EQ(delegate->state(), S::STATE_WAITING_FOR_LOAD_START);
}

TEST_F(LoadStateTest, WrappedDelegateGoneStateMachineGoesOn) {
    recorder.reset();
    should("file:///a");
    start();
    finish();
    EXPECT_EQ(delegate->state(), S::STATE_IDLE);
}

TEST(RequestComparison, FragmentsAreCutAndMissingURLsDiffer) {
    EXPECT_TRUE(S::requestIsEqualToRequestAfterStrippingFragments(request("file:///a#x"), request("file:///a#y")));
    EXPECT_FALSE(S::requestIsEqualToRequestAfterStrippingFragments(request("file:///a"), request("file:///b")));
    EXPECT_FALSE(S::requestIsEqualToRequestAfterStrippingFragments(URLRequest{}, request("file:///a")));
}

// The adapter drives the machine from WebKit-style events: decisions only ask,
// a failure's trailing finish never arrives (the web view swallows it).
TEST(WebViewEventAdapter, DecisionsAskWithoutChangingStateAndLoadsDriveIt) {
    testing::FakeWebView view;
    auto recorder = std::make_shared<Recorder>();
    auto delegate = std::make_shared<S>(recorder);
    WFWebViewEventAdapter adapter(&view, delegate, recorder);
    view.setObserver(&adapter);

    EXPECT_TRUE(view.navigate("file:///www/index.html", false));
    EXPECT_EQ(delegate->state(), S::STATE_IDLE);
    EXPECT_TRUE(view.navigate("file:///www/index.html"));
    EXPECT_EQ(delegate->state(), S::STATE_WAITING_FOR_LOAD_FINISH);
    // A bridge frame navigation in the middle changes nothing.
    recorder->allow = false;
    EXPECT_FALSE(view.navigate("wfbridge://ready/1"));
    recorder->allow = true;
    adapter.loadRedirected();
    view.finish();
    EXPECT_EQ(delegate->state(), S::STATE_IDLE);
    // A failed load followed by a new one does not wedge the machine.
    view.navigate("file:///missing.html");
    view.fail(-1100);
    view.navigate("file:///www/index.html");
    view.finish();
    EXPECT_EQ(delegate->state(), S::STATE_IDLE);
    EXPECT_EQ(recorder->events,
              (std::vector<std::string>{"should:file:///www/index.html", "should:file:///www/index.html",
                                        "start", "should:wfbridge://ready/1", "finish",
                                        "should:file:///missing.html", "start", "fail:NSURLErrorDomain:-1100",
                                        "should:file:///www/index.html", "start", "finish"}));
}

}  // namespace
}  // namespace wharf::test
