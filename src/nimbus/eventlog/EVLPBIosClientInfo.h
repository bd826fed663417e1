#pragma once
// EVLPBIosClientInfo: the client's platform description. Slots are indexed by the constants below.
#include "nimbus/nano/NANOMessageGlue.h"

namespace wharf {

extern const NANOMessageDescriptor EVLPBIosClientInfoDescriptor;

class EVLPBIosClientInfo final : public NANOTypedMessage<EVLPBIosClientInfo, EVLPBIosClientInfoDescriptor> {
public:
    using NANOTypedMessage::NANOTypedMessage;
    enum Slot : int32_t {
        field_1 = 0,  // tag 1, string
        install_identifier = 1,  // tag 2, string
        field_3 = 2,  // tag 3, string
        system_version = 3,  // tag 4, string
        application_build = 4,  // tag 5, string
        field_6 = 5,  // tag 6, string
        field_7 = 6,  // tag 7, string
        field_8 = 7,  // tag 8, string
    };
    static constexpr int32_t kSlotCount = 8;
};

}  // namespace wharf
