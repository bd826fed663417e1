#include "nimbus/eventlog/EVLPBLogRequest.h"

#include "eventlog.pb.h"
#include "nimbus/eventlog/EVLPBClientInfo.h"
#include "nimbus/eventlog/EVLPBLogEvent.h"

namespace wharf {

namespace {

const char kEVLPBLogRequestName[] = "LogRequest";
const uint32_t kEVLPBLogRequestFlags[] = {0x202, 0x202, 0x4002, 0x42, 0x2002, 0x2002, 0x4008, 0x8008, 0x42};
const pb_size_t kEVLPBLogRequestTags[] = {4, 8, 1, 2, 6, 7, 3, 5, 10};
const char* const kEVLPBLogRequestFieldNames[] = {
    "request_time_ms", "request_uptime_ms", "client_info",           "log_source", "field_6",
    "zwieback_cookie", "log_event",         "serialized_log_events", "field_10"};
const NANOMessageDescriptor* const kEVLPBLogRequestSubMessages[] = {
    nullptr, nullptr, &EVLPBClientInfoDescriptor, nullptr, nullptr, nullptr, &EVLPBLogEventDescriptor,
    nullptr, nullptr};

}  // namespace

const NANOMessageDescriptor EVLPBLogRequestDescriptor = {kEVLPBLogRequestName,
                                                         "EVLPBLogRequest",
                                                         9,
                                                         kEVLPBLogRequestFlags,
                                                         kEVLPBLogRequestTags,
                                                         kEVLPBLogRequestFieldNames,
                                                         evlpb_LogRequest_fields,
                                                         sizeof(evlpb_LogRequest),
                                                         kEVLPBLogRequestSubMessages,
                                                         NANO_MESSAGE_FUNCTIONS(EVLPBLogRequestDescriptor)};

}  // namespace wharf
