#pragma once
// Starts the real host (view controller, engine and command delegate) on a
// bundle written for one plug-in; the web views come from the factory the
// test has set on WFUIWebViewEngine.
#include <memory>
#include <string>

#include "TestSupport.h"
#include "host/WFViewController.h"
#include "platform/storage/Bundle.h"
#include "platform/storage/Container.h"

namespace wharf::test {

// `service` is served by `className`; `config` is added to config.xml (such
// as preferences) and `info` to Info.plist's dictionary.
inline std::shared_ptr<WFViewController> startPluginHost(const TempDir& bundle, const std::string& service,
                                                         const std::string& className, bool onload = false,
                                                         const std::string& config = "", const std::string& info = "") {
    writeFile(bundle.file("config.xml"),
              "<?xml version=\"1.0\"?>\n<widget id=\"t\" version=\"1\"><content src=\"index.html\" />" + config +
                  "<feature name=\"" + service + "\"><param name=\"ios-package\" value=\"" + className + "\" />" +
                  (onload ? "<param name=\"onload\" value=\"true\" />" : "") + "</feature></widget>\n");
    writeFile(bundle.file("Info.plist"),
              "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
              "<string>org.wharf.test</string>" +
                  info + "</dict></plist>\n");
    platform::Container::ensureDirectory(bundle.file("www"));
    writeFile(bundle.file("www/index.html"), "<html></html>");
    platform::Bundle::setMainBundle(platform::Bundle::open(bundle.path()));
    auto controller = std::make_shared<WFViewController>();
    controller->init();
    controller->viewDidLoad();
    return controller;
}

}  // namespace wharf::test
