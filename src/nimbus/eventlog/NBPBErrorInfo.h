#pragma once
// NBPBErrorInfo: an error in a diagnostics record. Slots are indexed by the constants below.
#include "nimbus/nano/NANOMessageGlue.h"

namespace wharf {

extern const NANOMessageDescriptor NBPBErrorInfoDescriptor;

class NBPBErrorInfo final : public NANOTypedMessage<NBPBErrorInfo, NBPBErrorInfoDescriptor> {
public:
    using NANOTypedMessage::NANOTypedMessage;
    enum Slot : int32_t {
        field_1 = 0,  // tag 1, bool
        error_code = 1,  // tag 2, int32
        error_domain = 2,  // tag 3, string
    };
    static constexpr int32_t kSlotCount = 3;
};

}  // namespace wharf
