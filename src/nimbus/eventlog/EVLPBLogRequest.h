#pragma once
// EVLPBLogRequest: the upload request of one log file. Slots are indexed by the constants below.
#include "nimbus/nano/NANOMessageGlue.h"

namespace wharf {

extern const NANOMessageDescriptor EVLPBLogRequestDescriptor;

class EVLPBLogRequest final : public NANOTypedMessage<EVLPBLogRequest, EVLPBLogRequestDescriptor> {
public:
    using NANOTypedMessage::NANOTypedMessage;
    enum Slot : int32_t {
        request_time_ms = 0,  // tag 4, int64
        request_uptime_ms = 1,  // tag 8, int64
        client_info = 2,  // tag 1, message EVLPBClientInfo
        log_source = 3,  // tag 2, enum
        field_6 = 4,  // tag 6, string
        zwieback_cookie = 5,  // tag 7, string
        log_event = 6,  // tag 3, repeated message EVLPBLogEvent
        serialized_log_events = 7,  // tag 5, repeated bytes
        field_10 = 8,  // tag 10, enum
    };
    static constexpr int32_t kSlotCount = 9;
};

}  // namespace wharf
