// Diagnostics records from real configuration events, through the event
// logger's files and a loopback "/log" server.
#include "nimbus/eventlog/NBDiagnostics.h"

#include <httplib.h>

#include <latch>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "CoreTestSupport.h"
#include "EventlogTestSupport.h"
#include "ProtocDecode.h"
#include "RawHttpServer.h"
#include "ServingThread.h"
#include "TestAuthority.h"
#include "nimbus/core/DORIzurizava.h"
#include "nimbus/core/NBApp.h"
#include "nimbus/core/NBAppEnvironmentUtil.h"
#include "nimbus/core/NBOptions.h"
#include "nimbus/eventlog/EVLPBLogEvent.h"
#include "nimbus/eventlog/NBEventlogLogger.h"
#include "nimbus/eventlog/NBPBErrorInfo.h"
#include "nimbus/eventlog/NBPBICoreConfiguration.h"
#include "nimbus/toolbox/TBZLibAdditions.h"
#include "platform/base/ClassRegistry.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/net/Http.h"
#include "platform/net/Reachability.h"
#include "platform/storage/Container.h"

using namespace wharf;
using namespace wharf::platform;
using namespace std::chrono_literals;

namespace {

// The configuration records a request carries.
std::vector<std::shared_ptr<NBPBICoreConfiguration>> recordsOf(const std::string& gzipBody) {
    std::vector<std::shared_ptr<NBPBICoreConfiguration>> out;
    auto request = test::requestOf(gzipBody);
    if (!request) return out;
    auto records = test::eventRecords(test::serializedEvents(*request));
    if (!records) return out;
    for (const auto& record : *records) {
        auto event = EVLPBLogEvent::initWithBuffer(record);
        if (!event) continue;
        const auto* cell =
            static_cast<const NANOFieldCell*>(event->messageInfo()->values[EVLPBLogEvent::source_payload]);
        if (!cell) continue;
        const auto* data = static_cast<const uint8_t*>(cell->data);
        out.push_back(NBPBICoreConfiguration::initWithBuffer(Bytes(data, data + cell->length)));
    }
    return out;
}

class NBDiagnosticsTest : public ::testing::Test {
protected:
    void SetUp() override {
        NBApp::resetApps();
        NetworkMonitor::setShared(std::make_shared<FakeNetworkMonitor>(kReachabilityFlagReachable));
        DORIzurizava::registerClass();
        logger = NBEventlogLogger::create(Container::cachesPath() + "/NBEventlogLogger",
                                          NBNetwork::initWithReachabilityHost("example.invalid"));
        NBDiagnostics::setEventLoggerForTesting(logger);
        NBDiagnostics::load();
    }
    void TearDown() override {
        NBDiagnostics::setEventLoggerForTesting(nullptr);
        NBApp::resetApps();
        logger.reset();
        NetworkMonitor::setShared(nullptr);
    }
    test::TempHome home;
    test::TestBundle bundle;
    std::shared_ptr<NBEventlogLogger> logger;
};

}  // namespace

TEST_F(NBDiagnosticsTest, AConfigurationIsReportedAsARecord) {
    std::atomic<int> status{500};
    test::RawHttpServer server([&](const test::RawRequest&) { return test::rawResponse(status, ""); });
    logger->setServerURL(server.url("/log"));
    bundle.writeOptions(test::validOptionsDictionary());
    NBApp::configure();  // the report asks for an immediate send
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return server.requests().size() == 1; }));
    RunLoop::pumpUntil([&] { return logger->uploadRetriesRemaining() == 5; });

    // Refused by the server, the record waits in greenhouse/137.
    const auto files = test::filesUnder(Container::cachesPath() + "/NBEventlogLogger");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_NE(files[0].find("/NBEventlogLogger/greenhouse/137/"), std::string::npos) << files[0];

    auto records = recordsOf(server.requests()[0].body);
    ASSERT_EQ(records.size(), 1u);
    auto& core = records[0];
    ASSERT_TRUE(core);
    EXPECT_EQ(NANOGetInt32(core.get(), NBPBICoreConfiguration::configuration_type), 1);
    EXPECT_EQ(NANOGetInt32(core.get(), NBPBICoreConfiguration::field_16), 2);
    EXPECT_EQ(NANOGetInt32(core.get(), NBPBICoreConfiguration::app_count), 1);
    EXPECT_EQ(NANOGetString(core.get(), NBPBICoreConfiguration::rovude_app_id), test::kTestAppID);
    EXPECT_EQ(NANOGetString(core.get(), NBPBICoreConfiguration::bundle_id), test::kTestBundleIdentifier);
    EXPECT_EQ(NANOGetString(core.get(), NBPBICoreConfiguration::library_version_id), "40007000");
    EXPECT_TRUE(NANOGetBool(core.get(), NBPBICoreConfiguration::using_options_from_default_plist));
    EXPECT_EQ(NANOGetString(core.get(), NBPBICoreConfiguration::device_model), NBAppEnvironmentUtil::deviceModel());
    EXPECT_EQ(NANOGetString(core.get(), NBPBICoreConfiguration::xcode_sdk_build), "-");
    EXPECT_FALSE(NANOHasField(core.get(), NBPBICoreConfiguration::error_info));
    auto installed = NANOGetArray(core.get(), NBPBICoreConfiguration::sdk_service_installed);
    ASSERT_TRUE(installed);
    ASSERT_EQ(installed->size(), 1u);
    EXPECT_EQ(std::get<Value>((*installed)[0]), 18) << "the analytics class is there";
    const auto install = NANOGetString(core.get(), NBPBICoreConfiguration::install_string);
    ASSERT_TRUE(install);
    EXPECT_EQ(test::readFile(Container::applicationSupportPath() + "/Rovude/NBApp/NIMBUS_UNIQUE_INSTALL"), *install);
    const std::string text = test::protocDecode(*core->protoBuffer(), "nbpb.ICoreConfiguration", "diagnostics.proto");
    EXPECT_NE(text.find("configuration_type: CORE"), std::string::npos) << text;
    EXPECT_NE(text.find("sdk_service_installed: MEASUREMENT"), std::string::npos) << text;

    // A subsystem's report with an error, after the app was deleted: the
    // same installation, the app's own values, and now the server takes both.
    status = 200;
    auto app = NBApp::defaultApp();
    app->deleteApp([](bool) {});
    auto error = NBApp::errorForSubspecConfigurationFailureWithDomain("com.rovude.messaging", 7, "Messaging", "x");
    app->sendLogsWithServiceName("Messaging", "1.2.3", &error);
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return server.requests().size() == 3; }));
    RunLoop::pumpUntil([&] { return test::filesUnder(Container::cachesPath() + "/NBEventlogLogger").empty(); });
    std::shared_ptr<NBPBICoreConfiguration> messaging;
    for (const auto& request : server.requests())
        for (auto& r : recordsOf(request.body))
            if (r && NANOHasField(r.get(), NBPBICoreConfiguration::sdk_name)) messaging = r;
    ASSERT_TRUE(messaging);
    EXPECT_EQ(NANOGetInt32(messaging.get(), NBPBICoreConfiguration::configuration_type), 2);
    EXPECT_EQ(NANOGetInt32(messaging.get(), NBPBICoreConfiguration::sdk_name), 17);
    EXPECT_EQ(NANOGetString(messaging.get(), NBPBICoreConfiguration::sdk_version), "1.2.3");
    EXPECT_EQ(NANOGetInt32(messaging.get(), NBPBICoreConfiguration::app_count), 0);
    EXPECT_EQ(NANOGetString(messaging.get(), NBPBICoreConfiguration::rovude_app_id), test::kTestAppID);
    EXPECT_EQ(NANOGetString(messaging.get(), NBPBICoreConfiguration::install_string), install);
    auto errorInfo = NANOGetMessage(messaging.get(), NBPBICoreConfiguration::error_info, NBPBErrorInfo::messageClass());
    ASSERT_TRUE(errorInfo);
    EXPECT_EQ(NANOGetInt32(errorInfo.get(), NBPBErrorInfo::error_code), 7);
    EXPECT_EQ(NANOGetString(errorInfo.get(), NBPBErrorInfo::error_domain), "com.rovude.messaging");
}

// Apps configured on one thread while another reports: the app lock and the
// diagnostics lock are never taken in opposite orders.
TEST_F(NBDiagnosticsTest, ReportsFromManyThreadsDoNotDeadlock) {
    auto options = NBOptions::initInternalWithOptionsDictionary(test::validOptionsDictionary());
    NBApp::configureWithOptions(options);
    auto app = NBApp::defaultApp();
    std::latch go(2);
    std::thread configuring([&] {
        go.arrive_and_wait();
        for (int i = 0; i < 40; ++i) NBApp::configureWithName("app" + std::to_string(i), options);
    });
    std::thread reporting([&] {
        go.arrive_and_wait();
        for (int i = 0; i < 40; ++i) app->sendLogsWithServiceName("RemoteConfig", "1", nullptr);
    });
    configuring.join();
    reporting.join();
    logger->waitUntilIdle();
    logger->queue()->sync([&] { logger->flushWriters(); });
    size_t records = 0;
    for (const auto& file : test::filesUnder(Container::cachesPath() + "/NBEventlogLogger"))
        records += test::eventRecords(test::fileBytes(file))->size();
    EXPECT_EQ(records, 1u + 40u + 40u);
}

// The event-logging service is the application's setting: its host from the
// Info.plist, the path "/log", over HTTPS. Records go there from the shared
// logger and leave no file once taken.
TEST(NBDiagnosticsService, RecordsGoToTheServiceTheApplicationNames) {
    test::TestAuthority authority;
    ASSERT_TRUE(authority.ok());
    httplib::SSLServer server(authority.serverCertificate("service", "IP:127.0.0.1").c_str(),
                              authority.keyFile().c_str());
    ASSERT_TRUE(server.is_valid());
    std::mutex mutex;
    std::vector<std::string> bodies;
    server.Post("/log", [&](const httplib::Request& request, httplib::Response& response) {
        std::lock_guard lock(mutex);
        // The server library may have undone the gzip already.
        const bool gzip = request.body.size() > 2 && request.body[0] == '\x1f' && request.body[1] == '\x8b';
        auto zipped = gzip ? std::nullopt : tb_dataByGzippingData(Bytes(request.body.begin(), request.body.end()));
        bodies.push_back(gzip ? request.body : std::string(zipped->begin(), zipped->end()));
        response.set_content("", "text/plain");
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port, 0);
    test::ServingThread serving(server);
    http::setCertificateAuthorityFile(authority.caFile());
    NetworkMonitor::setShared(std::make_shared<FakeNetworkMonitor>(kReachabilityFlagReachable));
    NBApp::resetApps();
    DORIzurizava::registerClass();
    test::TempHome home;
    test::TestBundle bundle(Value{{NBEventlogLogger::kServerHostInfoKey, "127.0.0.1:" + std::to_string(port)}});
    bundle.writeOptions(test::validOptionsDictionary());
    NBDiagnostics::load();

    NBApp::configure();
    const bool sent = RunLoop::pumpUntil([&] {
        std::lock_guard lock(mutex);
        return !bodies.empty();
    });
    if (sent)
        RunLoop::pumpUntil([&] { return test::filesUnder(Container::cachesPath() + "/NBEventlogLogger").empty(); });
    serving.stop();
    http::setCertificateAuthorityFile("");
    NBApp::resetApps();
    NetworkMonitor::setShared(nullptr);

    ASSERT_TRUE(sent);
    EXPECT_EQ(NBEventlogLogger::sharedInstance()->serverURL(), "https://127.0.0.1:" + std::to_string(port) + "/log");
    auto records = recordsOf(bodies[0]);
    ASSERT_EQ(records.size(), 1u);
    ASSERT_TRUE(records[0]);
    EXPECT_EQ(NANOGetString(records[0].get(), NBPBICoreConfiguration::rovude_app_id), test::kTestAppID);
    EXPECT_TRUE(test::filesUnder(Container::cachesPath() + "/NBEventlogLogger").empty()) << "taken, so deleted";
}

// Only a host (and port) makes a service: anything else is refused, and the
// records then wait in their files.
TEST(NBDiagnosticsService, TheSettingNamesAHostOnly) {
    const std::vector<std::pair<Value, std::string>> cases = {
        {"log.example", "https://log.example/log"},
        {"127.0.0.1:8443", "https://127.0.0.1:8443/log"},
        {"[::1]:8443", "https://[::1]:8443/log"},
        {"log.example/elsewhere", ""},
        {"user@log.example", ""},
        {"log.example?x=1", ""},
        {"https://log.example", ""},
        {"", ""},
        {42, ""},
    };
    for (const auto& [value, expected] : cases) {
        test::TestBundle bundle(Value{{NBEventlogLogger::kServerHostInfoKey, value}});
        EXPECT_EQ(NBEventlogLogger::defaultServerURL(), expected) << value.dump();
    }
    test::TestBundle none;
    EXPECT_EQ(NBEventlogLogger::defaultServerURL(), "");
}
