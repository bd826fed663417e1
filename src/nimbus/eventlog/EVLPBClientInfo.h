#pragma once
// EVLPBClientInfo: the client that sends a log request. Slots are indexed by the constants below.
#include "nimbus/nano/NANOMessageGlue.h"

namespace wharf {

extern const NANOMessageDescriptor EVLPBClientInfoDescriptor;

class EVLPBClientInfo final : public NANOTypedMessage<EVLPBClientInfo, EVLPBClientInfoDescriptor> {
public:
    using NANOTypedMessage::NANOTypedMessage;
    enum Slot : int32_t {
        client_type = 0,  // tag 1, enum
        field_6 = 1,  // tag 6, string
        field_7 = 2,  // tag 7, string
        ios_client_info = 3,  // tag 4, message EVLPBIosClientInfo
    };
    static constexpr int32_t kSlotCount = 4;
};

}  // namespace wharf
