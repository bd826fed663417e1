// The nano runtime through real message types: bytes on the wire, checked
// against protoc's reading of our schemas, and the accessors' edge cases.
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "ProtocDecode.h"
#include "TestSupport.h"
#include "nimbus/eventlog/EVLPBClientInfo.h"
#include "nimbus/eventlog/EVLPBIosClientInfo.h"
#include "nimbus/eventlog/EVLPBLogEvent.h"
#include "nimbus/eventlog/EVLPBLogRequest.h"
#include "nimbus/eventlog/NBPBErrorInfo.h"
#include "nimbus/eventlog/NBPBICoreConfiguration.h"
#include "platform/base/Log.h"

#include <pb_decode.h>

using namespace wharf;
using platform::Bytes;
using platform::Value;

namespace {

std::string hex(const Bytes& b) {
    std::string s;
    char buf[4];
    for (uint8_t c : b) {
        std::snprintf(buf, sizeof buf, "%02x", c);
        s += buf;
    }
    return s;
}

using test::protocDecode;

std::shared_ptr<EVLPBLogRequest> sampleRequest() {
    auto request = EVLPBLogRequest::create();
    NANOSetInt64(request.get(), EVLPBLogRequest::request_time_ms, 1700000000123);
    NANOSetInt64(request.get(), EVLPBLogRequest::request_uptime_ms, 4567);
    NANOSetInt32(request.get(), EVLPBLogRequest::log_source, 137);
    NANOSetString(request.get(), EVLPBLogRequest::zwieback_cookie, std::string("cookie"));

    auto ios = EVLPBIosClientInfo::create();
    NANOSetString(ios.get(), EVLPBIosClientInfo::system_version, std::string("12.1"));
    NANOSetString(ios.get(), EVLPBIosClientInfo::application_build, std::string("0"));
    auto client = EVLPBClientInfo::create();
    NANOSetInt32(client.get(), EVLPBClientInfo::client_type, 3);
    NANOSetMessage(client.get(), EVLPBClientInfo::ios_client_info, ios.get());
    NANOSetMessage(request.get(), EVLPBLogRequest::client_info, client.get());

    auto event = EVLPBLogEvent::create();
    NANOSetInt64(event.get(), EVLPBLogEvent::event_time_ms, 42);
    NANOSetBytes(event.get(), EVLPBLogEvent::source_payload, Bytes{1, 2, 3});
    NANOSetArray(event.get(), EVLPBLogEvent::test_code, std::vector<NANOObject>{Value(7), Value(-1)});
    auto event2 = EVLPBLogEvent::create();
    NANOSetString(event2.get(), EVLPBLogEvent::field_2, std::string("second"));
    NANOSetArray(request.get(), EVLPBLogRequest::log_event, std::vector<NANOObject>{event, event2});
    NANOSetArray(request.get(), EVLPBLogRequest::serialized_log_events,
                 std::vector<NANOObject>{platform::bytesValue(Bytes{0x08, 0x01}), platform::bytesValue(Bytes{})});
    return request;
}

}  // namespace

TEST(NANOWire, EmptyRequestEncodesToNothing) {
    auto request = EVLPBLogRequest::create();
    EXPECT_TRUE(NANOHasField(request.get(), EVLPBLogRequest::log_event));
    EXPECT_TRUE(NANOHasField(request.get(), EVLPBLogRequest::serialized_log_events));
    EXPECT_FALSE(NANOHasField(request.get(), EVLPBLogRequest::client_info));
    auto bytes = request->protoBuffer();
    ASSERT_TRUE(bytes);
    EXPECT_TRUE(bytes->empty());
    auto decoded = EVLPBLogRequest::initWithBuffer(*bytes);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(NANOGetArray(decoded.get(), EVLPBLogRequest::log_event, EVLPBLogEvent::messageClass())->size(), 0u);
}

TEST(NANOWire, VarintWidthsAndTagOrder) {
    auto request = EVLPBLogRequest::create();
    NANOSetInt32(request.get(), EVLPBLogRequest::log_source, 137);
    EXPECT_EQ(hex(*request->protoBuffer()), "108901");
    NANOSetInt32(request.get(), EVLPBLogRequest::log_source, -1);
    EXPECT_EQ(hex(*request->protoBuffer()), "10ffffffffffffffffff01");

    // Slots set in reverse order still go out by tag.
    auto ios = EVLPBIosClientInfo::create();
    NANOSetString(ios.get(), EVLPBIosClientInfo::application_build, std::string("b"));
    NANOSetString(ios.get(), EVLPBIosClientInfo::system_version, std::string("a"));
    EXPECT_EQ(hex(*ios->protoBuffer()), "2201612a0162");

    // A negative repeated int32 is boxed zero-extended (5 bytes); a singular one
    // is sign-extended by nanopb (10 bytes). Tag 20 varint is a0 01; tag 11 is 58.
    auto event = EVLPBLogEvent::create();
    NANOSetArray(event.get(), EVLPBLogEvent::test_code, std::vector<NANOObject>{Value(-1)});
    EXPECT_EQ(hex(*event->protoBuffer()), "a001ffffffff0f");
    NANOSetArray(event.get(), EVLPBLogEvent::test_code, std::nullopt);
    NANOSetInt32(event.get(), EVLPBLogEvent::field_11, -1);
    EXPECT_EQ(hex(*event->protoBuffer()), "58ffffffffffffffffff01");
}

TEST(NANOWire, ProtocReadsOurRequest) {
    auto bytes = sampleRequest()->protoBuffer();
    ASSERT_TRUE(bytes);
    std::string text = protocDecode(*bytes, "evlpb.LogRequest", "eventlog.proto");
    EXPECT_NE(text.find("request_time_ms: 1700000000123"), std::string::npos) << text;
    EXPECT_NE(text.find("log_source: DIAGNOSTICS"), std::string::npos) << text;
    EXPECT_NE(text.find("client_type: IOS"), std::string::npos) << text;
    EXPECT_NE(text.find("system_version: \"12.1\""), std::string::npos) << text;
    EXPECT_NE(text.find("source_payload: \"\\001\\002\\003\""), std::string::npos) << text;
    EXPECT_NE(text.find("test_code: 7"), std::string::npos) << text;
    EXPECT_NE(text.find("field_2: \"second\""), std::string::npos) << text;
    EXPECT_NE(text.find("serialized_log_events: \"\""), std::string::npos) << text;
    EXPECT_NE(text.find("zwieback_cookie: \"cookie\""), std::string::npos) << text;
}

TEST(NANOWire, DecodeRestoresEveryField) {
    auto original = sampleRequest();
    auto bytes = original->protoBuffer();
    auto decoded = EVLPBLogRequest::initWithBuffer(*bytes);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(NANOGetInt64(decoded.get(), EVLPBLogRequest::request_time_ms), 1700000000123);
    EXPECT_EQ(NANOGetInt32(decoded.get(), EVLPBLogRequest::log_source), 137);
    EXPECT_EQ(NANOGetString(decoded.get(), EVLPBLogRequest::zwieback_cookie), "cookie");
    EXPECT_FALSE(NANOGetString(decoded.get(), EVLPBLogRequest::field_6));

    auto client = std::static_pointer_cast<EVLPBClientInfo>(
        NANOGetMessage(decoded.get(), EVLPBLogRequest::client_info, EVLPBClientInfo::messageClass()));
    ASSERT_TRUE(client);
    EXPECT_EQ(NANOGetInt32(client.get(), EVLPBClientInfo::client_type), 3);
    auto ios = NANOGetMessage(client.get(), EVLPBClientInfo::ios_client_info, EVLPBIosClientInfo::messageClass());
    ASSERT_TRUE(ios);
    EXPECT_EQ(NANOGetString(ios.get(), EVLPBIosClientInfo::system_version), "12.1");

    auto events = NANOGetArray(decoded.get(), EVLPBLogRequest::log_event, EVLPBLogEvent::messageClass());
    ASSERT_TRUE(events);
    ASSERT_EQ(events->size(), 2u);
    auto first = std::get<NANOMessagePtr>((*events)[0]);
    EXPECT_EQ(NANOGetInt64(first.get(), EVLPBLogEvent::event_time_ms), 42);
    auto codes = NANOGetArray(first.get(), EVLPBLogEvent::test_code);
    ASSERT_EQ(codes->size(), 2u);
    EXPECT_EQ(std::get<Value>((*codes)[0]), 7);
    EXPECT_EQ(std::get<Value>((*codes)[1]), -1);
    auto serialized = NANOGetArray(decoded.get(), EVLPBLogRequest::serialized_log_events);
    ASSERT_EQ(serialized->size(), 2u);
    EXPECT_EQ(platform::bytesOf(std::get<Value>((*serialized)[0])), (Bytes{0x08, 0x01}));
    EXPECT_TRUE(platform::bytesOf(std::get<Value>((*serialized)[1])).empty());
    // And the decoded message encodes to the same bytes.
    EXPECT_EQ(decoded->protoBuffer(), bytes);
}

TEST(NANOWire, EmptyStringsSurviveTheTwoPassDecode) {
    auto request = EVLPBLogRequest::create();
    NANOSetString(request.get(), EVLPBLogRequest::field_6, std::string(""));
    EXPECT_EQ(NANOGetString(request.get(), EVLPBLogRequest::field_6), "");
    auto client = EVLPBClientInfo::create();
    NANOSetString(client.get(), EVLPBClientInfo::field_7, std::string(""));
    NANOSetMessage(request.get(), EVLPBLogRequest::client_info, client.get());
    auto bytes = request->protoBuffer();
    ASSERT_TRUE(bytes);
    EXPECT_EQ(hex(*bytes), "0a023a003200");
    auto decoded = EVLPBLogRequest::initWithBuffer(*bytes);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(NANOGetString(decoded.get(), EVLPBLogRequest::field_6), "");
}

TEST(NANOWire, FirstOfARepeatedSingularStringWins) {
    // field_2 (tag 2) twice: "a" then "b".
    auto event = EVLPBLogEvent::initWithBuffer(Bytes{0x12, 0x01, 'a', 0x12, 0x01, 'b'});
    ASSERT_TRUE(event);
    EXPECT_EQ(NANOGetString(event.get(), EVLPBLogEvent::field_2), "a");
}

TEST(NANOWire, BadInputFailsCleanly) {
    Bytes bytes = *sampleRequest()->protoBuffer();
    EXPECT_FALSE(EVLPBLogRequest::initWithBuffer(Bytes(bytes.begin(), bytes.begin() + bytes.size() - 4)));
    EXPECT_FALSE(EVLPBLogRequest::initWithBuffer(Bytes{0x0a, 0x05, 0x08}));  // sub-message runs past the end
    EXPECT_FALSE(EVLPBLogEvent::initWithBuffer(Bytes{0xff, 0xff, 0xff}));
    // A string longer than 1 MiB fails the whole decode.
    Bytes big{0x12, 0x81, 0x80, 0x40};  // tag 2, length 1,048,577
    big.resize(big.size() + 1048577, 'x');
    EXPECT_FALSE(EVLPBLogEvent::initWithBuffer(big));
    big[1] = 0x80;  // exactly 1,048,576 is accepted
    big.pop_back();
    auto ok = EVLPBLogEvent::initWithBuffer(big);
    ASSERT_TRUE(ok);
    EXPECT_EQ(NANOGetString(ok.get(), EVLPBLogEvent::field_2)->size(), 1048576u);
    // Extensions from tag 1000 on are skipped.
    EXPECT_TRUE(EVLPBLogEvent::initWithBuffer(Bytes{0xc0, 0x3e, 0x01, 0x08, 0x05}));
}

TEST(NANOAccessors, MisuseLogsAndAnswersDefaults) {
    platform::LogCapture capture;
    auto event = EVLPBLogEvent::create();
    NANOSetString(event.get(), EVLPBLogEvent::event_time_ms, std::string("x"));
    EXPECT_TRUE(capture.contains("<Nano/Failure> Field type isn't a scalar STRING. Message: LogEvent, field ID: 0"));
    EXPECT_FALSE(NANOHasField(event.get(), EVLPBLogEvent::event_time_ms));
    EXPECT_EQ(NANOGetInt32(event.get(), EVLPBLogEvent::event_time_ms), 0);
    EXPECT_TRUE(capture.contains("Field type isn't a scalar INT32"));
    EXPECT_FALSE(NANOGetArray(event.get(), EVLPBLogEvent::field_2));
    EXPECT_TRUE(capture.contains("<Nano/Failure> Field type isn't REPEATED. Message: LogEvent, field ID: 3"));

    // Slot indexes outside the record are refused, never followed.
    for (int32_t slot : {-1, 18, 1000}) {
        NANOSetInt64(event.get(), slot, 5);
        EXPECT_EQ(NANOGetInt64(event.get(), slot), 0);
        EXPECT_FALSE(NANOHasField(event.get(), slot));
        NANOClearField(event.get(), slot);
        EXPECT_FALSE(NANOGetArray(event.get(), slot));
    }
    EXPECT_TRUE(capture.contains("Field ID is out of range. Message: LogEvent, field ID: 18"));

    EXPECT_FALSE(NANOGetBool(nullptr, 0));
    EXPECT_TRUE(capture.contains("ProtocolBuffer message hasn't been initialized. GetBool can't be performed"));
    EXPECT_TRUE(event->protoBuffer()->empty());
}

TEST(NANOAccessors, ArraysAreSetWhollyOrNotAtAll) {
    platform::LogCapture capture;
    auto config = NBPBICoreConfiguration::create();
    NANOSetArray(config.get(), NBPBICoreConfiguration::sdk_service_installed,
                 std::vector<NANOObject>{Value(2), Value(9)});
    NANOSetArray(config.get(), NBPBICoreConfiguration::sdk_service_installed,
                 std::vector<NANOObject>{Value(13), Value("Crash"), Value(5)});
    EXPECT_TRUE(capture.contains("<ERROR> Invalid object type. Enum fields expect NSNumber. Type: NSString"));
    EXPECT_EQ(NANOGetArray(config.get(), NBPBICoreConfiguration::sdk_service_installed)->size(), 0u);

    // A message of another type is refused as an element and as a value.
    auto wrong = EVLPBLogEvent::create();
    NANOSetArray(config.get(), NBPBICoreConfiguration::subspec_error_info, std::vector<NANOObject>{wrong});
    EXPECT_EQ(
        NANOGetArray(config.get(), NBPBICoreConfiguration::subspec_error_info, NBPBErrorInfo::messageClass())->size(),
        0u);
    NANOSetMessage(config.get(), NBPBICoreConfiguration::error_info, wrong.get());
    EXPECT_FALSE(NANOHasField(config.get(), NBPBICoreConfiguration::error_info));
    // Nothing refused reaches the wire, not even part of an array.
    auto bytes = config->protoBuffer();
    ASSERT_TRUE(bytes);
    EXPECT_EQ(hex(*bytes), "");
}

TEST(NANOAccessors, MessagesAreCopiedNotShared) {
    auto config = NBPBICoreConfiguration::create();
    std::vector<NANOObject> errors;
    for (int code : {1, 2}) {
        auto error = NBPBErrorInfo::create();
        NANOSetInt32(error.get(), NBPBErrorInfo::error_code, code);
        NANOSetString(error.get(), NBPBErrorInfo::error_domain, std::string("d") + std::to_string(code));
        errors.push_back(error);
    }
    NANOSetArray(config.get(), NBPBICoreConfiguration::subspec_error_info, errors);
    // Changing the element afterwards does not reach the parent.
    NANOSetInt32(std::get<NANOMessagePtr>(errors[0]).get(), NBPBErrorInfo::error_code, 99);

    auto copy = NBPBICoreConfiguration::initWithMessageInfo(config->messageInfo());
    ASSERT_TRUE(copy);
    auto items = static_cast<void**>(
        static_cast<NANOFieldCell*>(config->messageInfo()->values[NBPBICoreConfiguration::subspec_error_info])->data);
    auto copyItems = static_cast<void**>(
        static_cast<NANOFieldCell*>(copy->messageInfo()->values[NBPBICoreConfiguration::subspec_error_info])->data);
    EXPECT_NE(items[0], copyItems[0]);
    EXPECT_NE(items[1], copyItems[1]);
    config.reset();  // the copy must stand alone
    auto list = NANOGetArray(copy.get(), NBPBICoreConfiguration::subspec_error_info, NBPBErrorInfo::messageClass());
    ASSERT_EQ(list->size(), 2u);
    EXPECT_EQ(NANOGetInt32(std::get<NANOMessagePtr>((*list)[0]).get(), NBPBErrorInfo::error_code), 1);
    EXPECT_EQ(NANOGetString(std::get<NANOMessagePtr>((*list)[1]).get(), NBPBErrorInfo::error_domain), "d2");

    // A sub-message read back is a copy too.
    auto error = NBPBErrorInfo::create();
    NANOSetBool(error.get(), NBPBErrorInfo::field_1, true);
    NANOSetMessage(copy.get(), NBPBICoreConfiguration::error_info, error.get());
    auto read = NANOGetMessage(copy.get(), NBPBICoreConfiguration::error_info, NBPBErrorInfo::messageClass());
    NANOSetBool(read.get(), NBPBErrorInfo::field_1, false);
    auto again = NANOGetMessage(copy.get(), NBPBICoreConfiguration::error_info, NBPBErrorInfo::messageClass());
    EXPECT_TRUE(NANOGetBool(again.get(), NBPBErrorInfo::field_1));

    // A record of another type is not taken.
    EXPECT_FALSE(NBPBErrorInfo::initWithMessageInfo(copy->messageInfo()));
    platform::LogCapture capture;
    NANOMessageClass noInit{"NSString", nullptr};
    EXPECT_FALSE(NANOGetMessage(copy.get(), NBPBICoreConfiguration::error_info, &noInit));
    EXPECT_TRUE(
        capture.contains("<ERROR> Provided class doesn't implement initWithMessageInfo: method. Class: NSString"));
}

TEST(NANOAccessors, ClearingAndScalarKinds) {
    auto config = NBPBICoreConfiguration::create();
    NANOSetString(config.get(), NBPBICoreConfiguration::bundle_id, std::string("com.example"));
    NANOSetString(config.get(), NBPBICoreConfiguration::bundle_id, std::nullopt);
    EXPECT_FALSE(NANOHasField(config.get(), NBPBICoreConfiguration::bundle_id));
    NANOSetBool(config.get(), NBPBICoreConfiguration::field_29, true);
    NANOSetInt32(config.get(), NBPBICoreConfiguration::field_16, 2);
    NANOSetInt32(config.get(), NBPBICoreConfiguration::app_count, -3);
    NANOSetInt64(config.get(), NBPBICoreConfiguration::field_3, INT64_MIN);
    auto decoded = NBPBICoreConfiguration::initWithBuffer(*config->protoBuffer());
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(NANOGetBool(decoded.get(), NBPBICoreConfiguration::field_29));
    EXPECT_EQ(NANOGetInt32(decoded.get(), NBPBICoreConfiguration::field_16), 2);
    EXPECT_EQ(NANOGetInt32(decoded.get(), NBPBICoreConfiguration::app_count), -3);
    EXPECT_EQ(NANOGetInt64(decoded.get(), NBPBICoreConfiguration::field_3), INT64_MIN);
    NANOClearField(decoded.get(), NBPBICoreConfiguration::field_29);
    EXPECT_FALSE(NANOHasField(decoded.get(), NBPBICoreConfiguration::field_29));
    std::string text = protocDecode(*config->protoBuffer(), "nbpb.ICoreConfiguration", "diagnostics.proto");
    EXPECT_NE(text.find("field_16: FIELD_16_TWO"), std::string::npos) << text;
    EXPECT_NE(text.find("app_count: -3"), std::string::npos) << text;
}

TEST(NANOWire, EmptySubMessagesAndElements) {
    auto request = EVLPBLogRequest::create();
    NANOSetMessage(request.get(), EVLPBLogRequest::client_info, EVLPBClientInfo::create().get());
    NANOSetArray(request.get(), EVLPBLogRequest::log_event, std::vector<NANOObject>{EVLPBLogEvent::create()});
    auto bytes = request->protoBuffer();
    ASSERT_TRUE(bytes);
    EXPECT_EQ(hex(*bytes), "0a001a00");
    auto decoded = EVLPBLogRequest::initWithBuffer(*bytes);
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(NANOHasField(decoded.get(), EVLPBLogRequest::client_info));
    EXPECT_EQ(NANOGetArray(decoded.get(), EVLPBLogRequest::log_event, EVLPBLogEvent::messageClass())->size(), 1u);
}

TEST(NANOCallbacks, FillingPastTheCountedItemsFails) {
    // A second pass that meets more elements than the first counted must
    // stop, not write past the item array.
    void* items[1] = {nullptr};
    NANOFieldCell cell{1, 1, items};
    uint8_t varint[] = {0x05};
    pb_istream_t stream = pb_istream_from_buffer(varint, sizeof varint);
    void* arg = &cell;
    EXPECT_FALSE(NANODecodeRepeatedVarint(&stream, nullptr, &arg));
    stream = pb_istream_from_buffer(varint, sizeof varint);
    EXPECT_FALSE(NANODecodeRepeatedString(&stream, nullptr, &arg));
    EXPECT_EQ(items[0], nullptr);
    arg = nullptr;
    EXPECT_FALSE(NANODecodeRepeatedVarint(&stream, nullptr, &arg));
    EXPECT_FALSE(NANOEncodeString(nullptr, nullptr, &arg));
}

// Two message shapes that our schemas do not have yet (a repeated field inside
// a singular sub-message), bound to nanopb by hand as its generator would.
extern "C" {
typedef struct {
    pb_callback_t codes;
} TestInner;
typedef struct {
    bool has_inner;
    TestInner inner;
} TestOuter;
typedef struct {
    bool has_inner;
    TestInner inner;
    pb_callback_t names;
} TestHolder;
}
#define TestInner_FIELDLIST(X, a) X(a, CALLBACK, REPEATED, INT32, codes, 1)
#define TestInner_CALLBACK pb_default_field_callback
#define TestInner_DEFAULT NULL
#define TestOuter_FIELDLIST(X, a) X(a, STATIC, OPTIONAL, MESSAGE, inner, 1)
#define TestOuter_CALLBACK NULL
#define TestOuter_DEFAULT NULL
#define TestOuter_inner_MSGTYPE TestInner
#define TestHolder_FIELDLIST(X, a) X(a, STATIC, OPTIONAL, MESSAGE, inner, 1) X(a, CALLBACK, REPEATED, STRING, names, 2)
#define TestHolder_CALLBACK pb_default_field_callback
#define TestHolder_DEFAULT NULL
#define TestHolder_inner_MSGTYPE TestInner
PB_BIND(TestInner, TestInner, AUTO)
PB_BIND(TestOuter, TestOuter, AUTO)
PB_BIND(TestHolder, TestHolder, AUTO)

namespace {

extern const NANOMessageDescriptor TestInnerDescriptor, TestOuterDescriptor, TestHolderDescriptor;
const char kTestInnerName[] = "TestInner", kTestOuterName[] = "TestOuter", kTestHolderName[] = "TestHolder";
const uint32_t kTestInnerFlags[] = {0x88};
const uint32_t kTestOuterFlags[] = {0x4002};
const uint32_t kTestHolderFlags[] = {0x4002, 0x2008};
const pb_size_t kTestTags[] = {1, 2};
const char* const kTestFieldNames[] = {"inner", "names"};
const NANOMessageDescriptor* const kTestSubMessages[] = {&TestInnerDescriptor, nullptr};
const NANOMessageDescriptor* const kTestNoSubMessages[] = {nullptr};
const NANOMessageDescriptor TestInnerDescriptor = {kTestInnerName,
                                                   "TestInner",
                                                   1,
                                                   kTestInnerFlags,
                                                   kTestTags,
                                                   kTestFieldNames,
                                                   &TestInner_msg,
                                                   sizeof(TestInner),
                                                   kTestNoSubMessages,
                                                   NANO_MESSAGE_FUNCTIONS(TestInnerDescriptor)};
const NANOMessageDescriptor TestOuterDescriptor = {kTestOuterName,
                                                   "TestOuter",
                                                   1,
                                                   kTestOuterFlags,
                                                   kTestTags,
                                                   kTestFieldNames,
                                                   &TestOuter_msg,
                                                   sizeof(TestOuter),
                                                   kTestSubMessages,
                                                   NANO_MESSAGE_FUNCTIONS(TestOuterDescriptor)};
const NANOMessageDescriptor TestHolderDescriptor = {kTestHolderName,
                                                    "TestHolder",
                                                    2,
                                                    kTestHolderFlags,
                                                    kTestTags,
                                                    kTestFieldNames,
                                                    &TestHolder_msg,
                                                    sizeof(TestHolder),
                                                    kTestSubMessages,
                                                    NANO_MESSAGE_FUNCTIONS(TestHolderDescriptor)};
struct TestInnerMessage final : NANOTypedMessage<TestInnerMessage, TestInnerDescriptor> {
    using NANOTypedMessage::NANOTypedMessage;
};
struct TestOuterMessage final : NANOTypedMessage<TestOuterMessage, TestOuterDescriptor> {
    using NANOTypedMessage::NANOTypedMessage;
};
struct TestHolderMessage final : NANOTypedMessage<TestHolderMessage, TestHolderDescriptor> {
    using NANOTypedMessage::NANOTypedMessage;
};

template <class M>
std::vector<int64_t> innerCodesAfterRoundTrip(const std::shared_ptr<M>& message) {
    auto bytes = message->protoBuffer();
    EXPECT_TRUE(bytes);
    auto decoded = M::initWithBuffer(*bytes);
    EXPECT_TRUE(decoded);
    std::vector<int64_t> codes;
    if (!decoded) return codes;
    auto inner = NANOGetMessage(decoded.get(), 0, TestInnerMessage::messageClass());
    EXPECT_TRUE(inner);
    if (auto items = inner ? NANOGetArray(inner.get(), 0) : std::nullopt)
        for (const auto& item : *items) codes.push_back(platform::integerValue(std::get<Value>(item)));
    EXPECT_EQ(decoded->protoBuffer(), bytes) << "decoding lost part of the message";
    return codes;
}

}  // namespace

TEST(NANOWire, RepeatedFieldsOfASingularSubMessageSurviveDecoding) {
    auto inner = TestInnerMessage::create();
    NANOSetArray(inner.get(), 0, std::vector<NANOObject>{Value(1), Value(2), Value(300)});
    const std::vector<int64_t> expected{1, 2, 300};

    // The outer message has no repeated field of its own.
    auto outer = TestOuterMessage::create();
    NANOSetMessage(outer.get(), 0, inner.get());
    EXPECT_EQ(hex(*outer->protoBuffer()), "0a070801080208ac02");
    EXPECT_EQ(innerCodesAfterRoundTrip(outer), expected);

    // The outer message has one, so it is decoded in two passes anyway.
    auto holder = TestHolderMessage::create();
    NANOSetMessage(holder.get(), 0, inner.get());
    NANOSetArray(holder.get(), 1, std::vector<NANOObject>{Value("a")});
    EXPECT_EQ(innerCodesAfterRoundTrip(holder), expected);
}
