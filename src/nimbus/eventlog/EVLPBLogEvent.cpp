#include "nimbus/eventlog/EVLPBLogEvent.h"

#include "eventlog.pb.h"

namespace wharf {

namespace {

const char kEVLPBLogEventName[] = "LogEvent";
const uint32_t kEVLPBLogEventFlags[] = {0x202,  0x202,  0x202,  0x2002, 0x82,   0x82,   0x22, 0x8002, 0x8002,
                                        0x2002, 0x2002, 0x2002, 0x202,  0x8002, 0x2002, 0x42, 0x88,   0x202};
const pb_size_t kEVLPBLogEventTags[] = {1, 17, 21, 2, 11, 12, 10, 4, 6, 8, 13, 14, 15, 18, 24, 19, 20, 22};
const char* const kEVLPBLogEventFieldNames[] = {
    "event_time_ms", "event_uptime_ms", "field_21",       "field_2",  "field_11",  "field_12",
    "field_10",      "field_4",         "source_payload", "field_8",  "field_13",  "field_14",
    "field_15",      "field_18",        "field_24",       "field_19", "test_code", "field_22"};
const NANOMessageDescriptor* const kEVLPBLogEventSubMessages[] = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                                  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                                  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

const NANOMessageDescriptor EVLPBLogEventDescriptor = {kEVLPBLogEventName,
                                                       "EVLPBLogEvent",
                                                       18,
                                                       kEVLPBLogEventFlags,
                                                       kEVLPBLogEventTags,
                                                       kEVLPBLogEventFieldNames,
                                                       evlpb_LogEvent_fields,
                                                       sizeof(evlpb_LogEvent),
                                                       kEVLPBLogEventSubMessages,
                                                       NANO_MESSAGE_FUNCTIONS(EVLPBLogEventDescriptor)};

}  // namespace wharf
