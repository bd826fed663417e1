#pragma once
// EVLPBLogEvent: one stored event. Slots are indexed by the constants below.
#include "nimbus/nano/NANOMessageGlue.h"

namespace wharf {

extern const NANOMessageDescriptor EVLPBLogEventDescriptor;

class EVLPBLogEvent final : public NANOTypedMessage<EVLPBLogEvent, EVLPBLogEventDescriptor> {
public:
    using NANOTypedMessage::NANOTypedMessage;
    enum Slot : int32_t {
        event_time_ms = 0,  // tag 1, int64
        event_uptime_ms = 1,  // tag 17, int64
        field_21 = 2,  // tag 21, int64
        field_2 = 3,  // tag 2, string
        field_11 = 4,  // tag 11, int32
        field_12 = 5,  // tag 12, int32
        field_10 = 6,  // tag 10, bool
        field_4 = 7,  // tag 4, bytes
        source_payload = 8,  // tag 6, bytes
        field_8 = 9,  // tag 8, string
        field_13 = 10,  // tag 13, string
        field_14 = 11,  // tag 14, string
        field_15 = 12,  // tag 15, int64
        field_18 = 13,  // tag 18, bytes
        field_24 = 14,  // tag 24, string
        field_19 = 15,  // tag 19, enum
        test_code = 16,  // tag 20, repeated int32
        field_22 = 17,  // tag 22, int64
    };
    static constexpr int32_t kSlotCount = 18;
};

}  // namespace wharf
