#pragma once
// A view controller over a temporary bundle, with the default engine on a
// scripted web view.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "HostTestSupport.h"
#include "TestSupport.h"
#include "host/WFUIWebViewEngine.h"
#include "host/WFUserAgentUtil.h"
#include "host/WFViewController.h"
#include "host/testing/FakeWebView.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/storage/Bundle.h"
#include "platform/storage/Container.h"

namespace wharf::test {

class ViewControllerFixture : public ::testing::Test {
protected:
    void SetUp() override {
        WFUserAgentUtil::resetForTesting();
        WFUIWebViewEngine::registerClass();
        WFRegisterPluginClass<RecordingPlugin>("RecordingPlugin");
        WFUIWebViewEngine::setWebViewFactory([this](WFRect) {
            auto view = std::make_shared<testing::FakeWebView>();
            views.push_back(view);
            return view;
        });
    }
    void TearDown() override {
        WFUIWebViewEngine::setWebViewFactory(nullptr);
        platform::Bundle::setMainBundle(nullptr);
        WFUserAgentUtil::resetForTesting();
    }

    // A bundle with config.xml holding `widgetBody`, www/index.html and www/error.html.
    void writeBundle(const std::string& widgetBody, const std::string& infoBody = "") {
        writeFile(bundle.file("config.xml"),
                  "<?xml version=\"1.0\"?>\n<widget id=\"t\" version=\"1\">\n" + widgetBody + "\n</widget>\n");
        writeFile(bundle.file("Info.plist"),
                  "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
                  "<string>org.wharf.test</string>" +
                      infoBody + "</dict></plist>\n");
        platform::Container::ensureDirectory(bundle.file("www"));
        writeFile(bundle.file("www/index.html"), "<html></html>");
        writeFile(bundle.file("www/error.html"), "<html></html>");
        platform::Bundle::setMainBundle(platform::Bundle::open(bundle.path()));
    }

    std::shared_ptr<WFViewController> loaded() {
        auto controller = std::make_shared<WFViewController>();
        controller->init();
        controller->viewDidLoad();
        return controller;
    }

    testing::FakeWebView& view() { return *views.back(); }
    std::string fileURL(const std::string& relative) const {
        return platform::Url::fileURL(bundle.file(relative)).absoluteString();
    }

    TempHome home;
    TempDir bundle;
    std::vector<std::shared_ptr<testing::FakeWebView>> views;
};

}  // namespace wharf::test
