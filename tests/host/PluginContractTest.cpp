// Results and their JSON form, commands from batch entries, plug-in
// notifications, action look-up, class registration and localized strings.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "HostTestSupport.h"
#include "TestSupport.h"
#include "host/WFJSON.h"
#include "host/WFPluginResult.h"
#include "host/WFStringsTable.h"
#include "platform/base/Log.h"
#include "platform/storage/Bundle.h"

namespace wharf::test {
namespace {

using platform::Value;

TEST(PluginResult, ArgumentsAsJSONForEveryMessageKind) {
    EXPECT_EQ(WFPluginResult::resultWithStatus(WFResultStatus::OK).argumentsAsJSON(), "null");
    EXPECT_EQ(WFPluginResult::resultWithStatusMessageAsString(WFResultStatus::OK, "abc").argumentsAsJSON(), "\"abc\"");
    EXPECT_EQ(WFPluginResult::resultWithStatusMessageAsString(WFResultStatus::OK, "a\"b\n").argumentsAsJSON(),
              "\"a\\\"b\\n\"");
    EXPECT_EQ(WFPluginResult::resultWithStatusMessageAsBool(WFResultStatus::OK, true).argumentsAsJSON(), "true");
    EXPECT_EQ(WFPluginResult::resultWithStatusMessageAsBool(WFResultStatus::OK, false).argumentsAsJSON(), "false");
    EXPECT_EQ(WFPluginResult::resultWithStatusMessageAsInt(WFResultStatus::OK, -7).argumentsAsJSON(), "-7");
    EXPECT_EQ(WFPluginResult::resultWithStatusMessageAsNSUInteger(WFResultStatus::OK, UINT64_MAX).argumentsAsJSON(),
              "18446744073709551615");
    EXPECT_EQ(WFPluginResult::resultWithStatusMessageAsDouble(WFResultStatus::OK, 5.0).argumentsAsJSON(), "5");
    EXPECT_EQ(WFPluginResult::resultWithStatusMessageAsDouble(WFResultStatus::OK, 2.5).argumentsAsJSON(), "2.5");
    EXPECT_EQ(
        WFPluginResult::resultWithStatusMessageAsArray(WFResultStatus::OK, Value::array({1, "x"})).argumentsAsJSON(),
        "[1,\"x\"]");
    EXPECT_EQ(WFPluginResult::resultWithStatusMessageToErrorObject(WFResultStatus::Error, 5).argumentsAsJSON(),
              "{\"code\":5}");
    auto dictionary = WFPluginResult::resultWithStatusMessageAsDictionary(WFResultStatus::OK, Value{{"k", "v"}});
    EXPECT_EQ(platform::parseJSON(dictionary.argumentsAsJSON()), (Value{{"k", "v"}}));
}

TEST(PluginResult, InvalidUTF8MessageIsReplacedNotThrown) {
    auto result = WFPluginResult::resultWithStatusMessageAsString(WFResultStatus::OK, std::string("ok\xff\xfe!"));
    std::string text;
    ASSERT_NO_THROW(text = result.argumentsAsJSON());
    EXPECT_EQ(text, "\"ok\xEF\xBF\xBD\xEF\xBF\xBD!\"");
}

TEST(PluginResult, BinaryAndMultipartWrappers) {
    auto buffer = WFPluginResult::resultWithStatusMessageAsArrayBuffer(WFResultStatus::OK, {0x00, 0x01, 0xFF});
    EXPECT_EQ(buffer.message(), (Value{{"WFType", "ArrayBuffer"}, {"data", "AAH/"}}));
    EXPECT_EQ(platform::parseJSON(buffer.argumentsAsJSON()), buffer.message());

    Value parts = Value::array({"text", platform::bytesValue({0x00, 0x01})});
    auto multipart = WFPluginResult::resultWithStatusMessageAsMultipart(WFResultStatus::OK, parts);
    const Value& message = multipart.message();
    EXPECT_EQ(message["WFType"], "MultiPart");
    ASSERT_EQ(message["messages"].size(), 2u);
    EXPECT_EQ(message["messages"][0], "text");
    EXPECT_EQ(message["messages"][1], (Value{{"WFType", "ArrayBuffer"}, {"data", "AAE="}}));
    // The page receives plain JSON: no binary value survives into the text.
    EXPECT_EQ(platform::parseJSON(multipart.argumentsAsJSON()), message);
}

TEST(InvokedUrlCommand, BuiltFromEntryWithBinaryArguments) {
    auto parsed = platform::parseJSON(
        R"(["Cb1","Svc","act",[{"WFType":"ArrayBuffer","data":"AAE="},{"WFType":"ArrayBuffer"},null,"s",
            {"WFType":"ArrayBuffer","data":"@@not base64@@"},{"WFType":"ArrayBuffer","data":42}]])");
    ASSERT_TRUE(parsed);
    auto command = WFInvokedUrlCommand::commandFromJson(*parsed);
    ASSERT_TRUE(command);
    EXPECT_EQ(command->callbackId(), "Cb1");
    EXPECT_EQ(command->className(), "Svc");
    EXPECT_EQ(command->methodName(), "act");
    EXPECT_EQ(platform::bytesOf(command->argumentAtIndex(0)), (platform::Bytes{0x00, 0x01}));
    EXPECT_TRUE(command->argumentAtIndex(1).is_object());  // no "data": stays a dictionary
    // Undecodable data yields an empty buffer, not a crash or a dropped argument.
    EXPECT_TRUE(platform::isBytes(command->argumentAtIndex(4)));
    EXPECT_TRUE(platform::bytesOf(command->argumentAtIndex(4)).empty());
    EXPECT_TRUE(platform::bytesOf(command->argumentAtIndex(5)).empty());

    EXPECT_EQ(command->argumentAtIndex(2, "dflt"), "dflt");  // null gives the default
    EXPECT_EQ(command->argumentAtIndex(9, 3), 3);  // out of range
    EXPECT_EQ(command->argumentAtIndex(3, "dflt", WFValueClass::String), "s");
    EXPECT_EQ(command->argumentAtIndex(3, 0, WFValueClass::Number), 0);
    EXPECT_TRUE(command->argumentAtIndex(0, nullptr, WFValueClass::Data).is_binary());
}

TEST(InvokedUrlCommand, NullCallbackIdAndMalformedEntries) {
    auto command = WFInvokedUrlCommand::commandFromJson(*platform::parseJSON(R"([null,"S","a",[]])"));
    ASSERT_TRUE(command);
    EXPECT_FALSE(command->callbackId().has_value());

    platform::LogCapture log;
    for (const char* bad : {R"(["id","S","a"])", R"([])", R"("x")", R"([1,"S","a",[]])", R"(["id",2,"a",[]])",
                            R"(["id","S",null,[]])", R"(["id","S","a",{}])"}) {
        EXPECT_FALSE(WFInvokedUrlCommand::commandFromJson(*platform::parseJSON(bad))) << bad;
    }
    EXPECT_EQ(log.count("ERROR: Malformed command entry"), 7u);
}

TEST(JSONCategories, ObjectParserRejectsScalarsFragmentParserTakesThem) {
    platform::LogCapture log;
    EXPECT_FALSE(wf_JSONObject("5"));
    EXPECT_TRUE(log.contains("NSString JSONObject error: "));
    EXPECT_TRUE(log.contains("Malformed Data: 5"));
    // A large text that does not parse is logged by its start and its size,
    // a character cut in two left out.
    log.clear();
    const std::string large = "[\"" + std::string(198, 'x') + "\xc3\xa9" + std::string(1 << 20, 'y');
    EXPECT_FALSE(wf_JSONObject(large));
    ASSERT_EQ(log.lines().size(), 1u);
    const std::string line = log.lines()[0];
    EXPECT_LT(line.size(), 1000u);
    EXPECT_NE(
        line.find("Malformed Data: [\"" + std::string(198, 'x') + "... (" + std::to_string(large.size()) + " bytes)"),
        std::string::npos)
        << line;
    // A character that ends at the cut stays whole; one across it goes whole.
    const std::string euro = "\xE2\x82\xAC", smile = "\xF0\x9F\x98\x80";
    for (const auto& [text, kept] :
         {std::pair{"[\"" + std::string(195, 'x') + euro, "[\"" + std::string(195, 'x') + euro},
          std::pair{"[\"" + std::string(196, 'x') + smile, "[\"" + std::string(196, 'x')}}) {
        log.clear();
        EXPECT_FALSE(wf_JSONObject(text + std::string(1 << 12, 'y')));
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_NE(log.lines()[0].find("Malformed Data: " + kept + "... ("), std::string::npos) << log.lines()[0];
    }
    EXPECT_EQ(wf_JSONFragment("5"), Value(5));
    EXPECT_FALSE(wf_JSONFragment("[1,"));
    EXPECT_EQ(wf_JSONObject("[1,2]"), Value::array({1, 2}));
    EXPECT_EQ(*wf_JSONString(Value::array({1, "a"})), "[1,\"a\"]");
    EXPECT_NE(wf_JSONString(Value{{"a", 1}})->find('\n'), std::string::npos);  // dictionaries pretty-printed
}

// Batches are read by a quicker reader than the platform's; both must agree
// on every text, to the kind of each number, and refuse the same ones with
// the same words.
TEST(JSONCategories, BatchReaderAgreesWithThePlatformReader) {
    const std::string deep = std::string(600, '[') + std::string(600, ']');
    const std::string deepest = std::string(512, '[') + std::string(512, ']');
    const std::vector<std::string> texts = {
        R"([["Echo1","Echo","echo",[5,-5,0,-0,1.5,-2.5e3,1E2,1e-2,18446744073709551615,18446744073709551616,
           -9223372036854775808,-9223372036854775809,4294967295,4294967296,2147483648,-2147483649]]])",
        R"([null,true,false,"",{},[],[[]],{"a":{}}])",
        R"({"a":1,"a":2,"b":[1,{"a":3,"a":[4]}]})",
        R"(["\u0000x","\"\\\/\b\f\n\r\t","\u00e9\u20AC\ud83d\ude00"])",
        R"(["\u00ff\u00FF\uabcd\uABCD\u0f0F\u9a8B"])",
        "[\"caf\xC3\xA9 \xF0\x9F\x98\x80\",\"\xE2\x82\xAC\"]",
        " \t\r\n[1] \n",
        "[0.1,0.30000000000000004,2.2250738585072014e-308,1.7976931348623157e308,5e-324,123456789012345678901234]",
        deepest,
        // refused by both
        deep,
        "",
        " ",
        "[1,]",
        "[01]",
        "[1.]",
        "[.5]",
        "[-]",
        "[1e]",
        "[+1]",
        "[NaN]",
        "[Infinity]",
        "[1] x",
        "[1][2]",
        R"({"a" 1})",
        "{a:1}",
        "['a']",
        "[\"a\x01\"]",
        R"(["\x"])",
        R"(["\u12"])",
        "[\"bad\xFF\"]",
        "[\"\xC0\xAF\"]",
        "[\"\xED\xA0\x80\"]",
        "[1e400]",
        "[-1e400]",
        "[true,fals]",
        "[nul]",
        "/*c*/[1]",
        R"(["a""b"])",
        R"({"a":1,})",
        "\xEF\xBB\xBF[1]",
        std::string("[1]\0 x", 6),
        std::string("[\"a\0\"]", 6),
        std::string("[1,\0 2]", 7),
    };
    for (const std::string& text : texts) {
        platform::LogCapture quickLog;
        const auto quick = wf_JSONFragment(text);
        const auto quickLines = quickLog.lines();
        platform::Error error;
        const auto platformValue = platform::parseJSON(text, &error);
        ASSERT_EQ(quick.has_value(), platformValue.has_value()) << text;
        if (quick) {
            EXPECT_TRUE(platform::identical(*quick, *platformValue)) << text;
        } else {
            ASSERT_EQ(quickLines.size(), 1u) << text;
            EXPECT_EQ(quickLines[0], "NSString JSONObject error: " + error.description()) << text;
        }
    }
    // A batch read to the end keeps each command's fields.
    auto batch = wf_JSONObject(R"([["Id.1","Svc","act",["x",{"k":[1,2]}]],[null,"Svc","act",[]]])");
    ASSERT_TRUE(batch);
    auto command = WFInvokedUrlCommand::commandFromJson((*batch)[0]);
    ASSERT_TRUE(command);
    EXPECT_EQ(command->callbackId(), "Id.1");
    EXPECT_EQ(command->arguments(), Value::array({"x", Value{{"k", Value::array({1, 2})}}}));
    EXPECT_FALSE(WFInvokedUrlCommand::commandFromJson((*batch)[1])->callbackId());
}

class OtherPlugin : public WFPlugin {
public:
    void onReset() override { ++resets; }
    void onMemoryWarning() override { ++warnings; }
    int resets = 0;
    int warnings = 0;
};

TEST(Plugin, ResetOnlyForItsOwnEnginesWebView) {
    auto own = std::make_shared<testing::FakeWebViewEngine>();
    auto other = std::make_shared<testing::FakeWebViewEngine>();
    int ownView = 0, otherView = 0;
    own->setEngineWebView(reinterpret_cast<platform::WebView*>(&ownView));
    other->setEngineWebView(reinterpret_cast<platform::WebView*>(&otherView));

    auto plugin = std::make_shared<OtherPlugin>();
    plugin->initWithWebViewEngine(own);
    auto& center = platform::NotificationCenter::defaultCenter();
    center.post(WFPluginResetNotification, other->engineWebView());
    EXPECT_EQ(plugin->resets, 0);
    center.post(WFPluginResetNotification, own->engineWebView());
    EXPECT_EQ(plugin->resets, 1);
    center.post(platform::kUIApplicationDidReceiveMemoryWarningNotification);
    EXPECT_EQ(plugin->warnings, 1);
    EXPECT_EQ(plugin->webViewEngine(), own);
    EXPECT_EQ(plugin->webView(), own->engineWebView());
}

TEST(Plugin, DestructionRemovesEveryObservation) {
    auto& center = platform::NotificationCenter::defaultCenter();
    const auto before = center.observerCount();
    {
        auto plugin = std::make_shared<OtherPlugin>();
        plugin->initWithWebViewEngine(nullptr);
        EXPECT_EQ(center.observerCount(), before + 5);
    }
    EXPECT_EQ(center.observerCount(), before);
    center.post(WFPluginResetNotification);  // nothing left to call
}

TEST(Plugin, EngineSkipsSubscriptionsAndDisposeKeepsEngine) {
    auto& center = platform::NotificationCenter::defaultCenter();
    const auto before = center.observerCount();
    auto controller = testing::FakeViewController::create();
    EXPECT_EQ(center.observerCount(), before);  // the engine plug-in subscribed to nothing

    auto plugin = std::make_shared<RecordingPlugin>();
    plugin->initWithWebViewEngine(controller->engine());
    controller->registerPlugin(plugin, "Rec");
    EXPECT_TRUE(plugin->viewController());
    EXPECT_TRUE(plugin->commandDelegate());
    plugin->dispose();
    EXPECT_FALSE(plugin->viewController());
    EXPECT_FALSE(plugin->commandDelegate());
    EXPECT_TRUE(plugin->webViewEngine());
}

TEST(Plugin, ActionsByNameAndRegistryCreation) {
    WFRegisterPluginClass<RecordingPlugin>("RecordingPlugin");
    auto& registry = platform::ClassRegistry::shared();
    EXPECT_TRUE(registry.hasClass("RecordingPlugin"));
    EXPECT_TRUE(registry.instancesRespondTo("RecordingPlugin", "echo:"));
    EXPECT_FALSE(registry.instancesRespondTo("RecordingPlugin", "echo"));

    auto engine = std::make_shared<testing::FakeWebViewEngine>();
    auto plugin = WFPlugin::createInstance("RecordingPlugin", engine);
    ASSERT_TRUE(plugin);
    EXPECT_EQ(plugin->className(), "RecordingPlugin");
    EXPECT_EQ(plugin->webViewEngine(), engine);
    EXPECT_TRUE(plugin->respondsToSelector("record:"));
    EXPECT_FALSE(plugin->respondsToSelector("missing:"));
    EXPECT_TRUE(plugin->performAction("record:", WFInvokedUrlCommand(Value::array({"x"}), "id", "Rec", "record")));
    EXPECT_EQ(static_cast<RecordingPlugin&>(*plugin).calls, std::vector<std::string>{"x"});
    EXPECT_FALSE(WFPlugin::createInstance("NoSuchPlugin", engine));
}

// UTF-16 (little-endian, with its byte-order mark) of ASCII text.
std::string utf16le(const std::string& ascii) {
    std::string out = "\xFF\xFE";
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

TEST(Plugin, LocalizedStringsFromOldStyleTextTables) {
    TempDir bundle;
    writeFile(bundle.file("Info.plist"), "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict/></plist>");
    std::filesystem::create_directories(bundle.file("RecordingPlugin.bundle/Base.lproj"));
    writeFile(bundle.file("RecordingPlugin.bundle/Base.lproj/Localizable.strings"),
              utf16le("/* The greeting. */\n\"greeting\" = \"Hello \\\"you\\\"\\n\";  // shown first\n"
                      "\"bare\";\nunquoted = \"\\U00e9t\\u00E9 \\UD83D\\UDE00 \\101\";\n"));
    auto previous = platform::Bundle::mainBundle();
    platform::Bundle::setMainBundle(platform::Bundle::open(bundle.path()));
    RecordingPlugin plugin;
    EXPECT_EQ(plugin.pluginLocalizedString("greeting"), "Hello \"you\"\n");
    EXPECT_EQ(plugin.pluginLocalizedString("bare"), "bare");
    EXPECT_EQ(plugin.pluginLocalizedString("unquoted"), "\u00e9t\u00e9 \U0001F600 A");
    EXPECT_EQ(plugin.pluginLocalizedString("missing"), "missing");
    platform::Bundle::setMainBundle(previous);

    // UTF-8 with its mark, inside braces; a lone surrogate escape is replaced.
    auto table = wf_parseStringsTable("\xEF\xBB\xBF{ \"k\" = \"caf\xC3\xA9 \\UD800!\"; }");
    ASSERT_TRUE(table);
    EXPECT_EQ(table->at("k"), "caf\xC3\xA9 \xEF\xBF\xBD!");
    // Malformed tables give nothing rather than half a table.
    for (const char* bad :
         {"\"a\" = \"b\"", "\"a\" = \"b;", "\"a\" = \"b\"; /* open", "\"a\" = ;", "{ \"a\";", "\"a\" \"b\";"})
        EXPECT_FALSE(wf_parseStringsTable(bad)) << bad;
    EXPECT_TRUE(wf_parseStringsTable("")->empty());
}

}  // namespace
}  // namespace wharf::test
