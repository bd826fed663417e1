// The six message types: their slot tables agree with the schemas, and their
// generated functions fail with the lines callers look for.
#include <cstdlib>

#include <gtest/gtest.h>
#include <pb_common.h>

#include "nimbus/eventlog/EVLPBClientInfo.h"
#include "nimbus/eventlog/EVLPBIosClientInfo.h"
#include "nimbus/eventlog/EVLPBLogEvent.h"
#include "nimbus/eventlog/EVLPBLogRequest.h"
#include "nimbus/eventlog/NBPBErrorInfo.h"
#include "nimbus/eventlog/NBPBICoreConfiguration.h"

using namespace wharf;

namespace {

const NANOMessageDescriptor* const kAll[] = {&EVLPBClientInfoDescriptor, &EVLPBIosClientInfoDescriptor,
                                             &EVLPBLogEventDescriptor,   &EVLPBLogRequestDescriptor,
                                             &NBPBErrorInfoDescriptor,   &NBPBICoreConfigurationDescriptor};

}  // namespace

TEST(EventlogMessages, SlotTablesMatchTheSchemas) {
    for (const NANOMessageDescriptor* d : kAll) {
        std::vector<uint8_t> scratch(d->structSize);
        // One slot for every field of the schema, no more, no fewer (the
        // extension range is no field).
        pb_field_iter_t all;
        int32_t fields = 0;
        if (pb_field_iter_begin(&all, d->fields, scratch.data())) {
            do fields += PB_LTYPE(all.type) != PB_LTYPE_EXTENSION;
            while (pb_field_iter_next(&all));
        }
        EXPECT_EQ(d->slotCount, fields) << d->name;
        for (int32_t slot = 0; slot < d->slotCount; ++slot) {
            pb_field_iter_t it;
            ASSERT_TRUE(pb_field_iter_begin(&it, d->fields, scratch.data()));
            ASSERT_TRUE(pb_field_iter_find(&it, d->tags[slot])) << d->name << " slot " << slot;
            const uint32_t code = d->flags[slot];
            const bool callback = PB_ATYPE(it.type) == PB_ATYPE_CALLBACK;
            const bool repeated = PB_HTYPE(it.type) == PB_HTYPE_REPEATED;
            EXPECT_EQ(repeated, (code & NANOFieldRepeated) != 0) << d->name << " slot " << slot;
            // Strings, bytes and repeated fields are callbacks; the rest is static.
            EXPECT_EQ(callback, repeated || (code & (NANOFieldString | NANOFieldBytes)) != 0)
                << d->name << " slot " << slot;
            EXPECT_EQ(PB_LTYPE_IS_SUBMSG(it.type), (code & NANOFieldMessage) != 0) << d->name << " slot " << slot;
            EXPECT_EQ((code & NANOFieldMessage) != 0, d->subMessages[slot] != nullptr);
        }
    }
    EXPECT_EQ(std::string(EVLPBLogEvent::create()->messageID()), "LogEvent");
    EXPECT_EQ(std::string(NBPBICoreConfiguration::create()->messageID()), "ICoreConfiguration");
}

TEST(EventlogMessages, FailureLinesNameTheMessage) {
    auto event = EVLPBLogEvent::create();
    NANOMessageInfo* info = event->messageInfo();

    testing::internal::CaptureStdout();
    EXPECT_FALSE(event->deallocMessageFieldFn()(info, 18));
    EXPECT_FALSE(EVLPBLogEvent::initWithBuffer(platform::Bytes{0x12, 0x09, 'x'}));
    EXPECT_FALSE(EVLPBLogEventDescriptor.decode(nullptr, 0, nullptr));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("<ERROR> LogEvent: Cannot deallocate field 18: Unknown field\n"), std::string::npos) << out;
    EXPECT_NE(out.find("<ERROR> LogEvent decoder failed: "), std::string::npos) << out;
    EXPECT_NE(out.find("<ERROR> LogEvent decoder failed: message_info is NULL"), std::string::npos) << out;

    // A repeated cell that went missing makes the encode fail, not crash.
    std::free(info->values[EVLPBLogEvent::test_code]);
    info->values[EVLPBLogEvent::test_code] = nullptr;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(event->protoBuffer());
    uint8_t* buffer = nullptr;
    EXPECT_EQ(EVLPBLogEventDescriptor.encode(info, &buffer), -1);
    EXPECT_EQ(buffer, nullptr);
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("<ERROR> LogEvent Encoder: 'test_code' should have been allocated"), std::string::npos) << out;

    // The same inside a request: the element's failure fails the whole encode.
    auto request = EVLPBLogRequest::create();
    auto good = EVLPBLogEvent::create();
    NANOSetArray(request.get(), EVLPBLogRequest::log_event, std::vector<NANOObject>{good});
    auto* cell = static_cast<NANOFieldCell*>(request->messageInfo()->values[EVLPBLogRequest::log_event]);
    auto* element = static_cast<NANOMessageInfo*>(static_cast<void**>(cell->data)[0]);
    std::free(element->values[EVLPBLogEvent::test_code]);
    element->values[EVLPBLogEvent::test_code] = nullptr;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(request->protoBuffer());
    testing::internal::GetCapturedStdout();
}

TEST(EventlogMessages, RepeatedElementsDecodeIntoTheirOwnRecords) {
    // Two ErrorInfo elements, the second with a bad inner field.
    platform::Bytes bytes{0x8a, 0x01, 0x02, 0x10, 0x05,  // subspec_error_info { error_code: 5 }
                          0x8a, 0x01, 0x02, 0x1a, 0x05};  // { error_domain: <runs past its element> }
    testing::internal::CaptureStdout();
    EXPECT_FALSE(NBPBICoreConfiguration::initWithBuffer(bytes));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("<ERROR> ErrorInfo decoder failed: Unable to decode repeated ErrorInfo"), std::string::npos)
        << out;

    bytes.resize(5);
    auto config = NBPBICoreConfiguration::initWithBuffer(bytes);
    ASSERT_TRUE(config);
    auto list = NANOGetArray(config.get(), NBPBICoreConfiguration::subspec_error_info, NBPBErrorInfo::messageClass());
    ASSERT_EQ(list->size(), 1u);
    EXPECT_EQ(NANOGetInt32(std::get<NANOMessagePtr>((*list)[0]).get(), NBPBErrorInfo::error_code), 5);
}
