// Nano messages decoded from the wire, one message type per input (its first
// byte picks the type). A decoded message answers every accessor, encodes,
// and its encoding is a fixed point: decoding and encoding it again, or
// encoding a deep copy, gives the same bytes.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "FuzzSupport.h"
#include "nimbus/eventlog/EVLPBClientInfo.h"
#include "nimbus/eventlog/EVLPBIosClientInfo.h"
#include "nimbus/eventlog/EVLPBLogEvent.h"
#include "nimbus/eventlog/EVLPBLogRequest.h"
#include "nimbus/eventlog/NBPBErrorInfo.h"
#include "nimbus/eventlog/NBPBICoreConfiguration.h"

using namespace wharf;
using platform::Bytes;

namespace {

struct MessageType {
    const NANOMessageDescriptor& descriptor;
    const NANOMessageClass* (*messageClass)();
    NANOMessagePtr (*fromBuffer)(const Bytes&);
    NANOMessagePtr (*copy)(const NANOMessageInfo*);
};

template <class T>
MessageType typeOf() {
    return {T::descriptor(), &T::messageClass, [](const Bytes& b) -> NANOMessagePtr { return T::initWithBuffer(b); },
            [](const NANOMessageInfo* info) -> NANOMessagePtr { return T::initWithMessageInfo(info); }};
}

const MessageType kTypes[] = {typeOf<EVLPBLogRequest>(),    typeOf<EVLPBLogEvent>(), typeOf<EVLPBClientInfo>(),
                              typeOf<EVLPBIosClientInfo>(), typeOf<NBPBErrorInfo>(), typeOf<NBPBICoreConfiguration>()};

const NANOMessageClass* classOf(const NANOMessageDescriptor* descriptor) {
    for (const auto& type : kTypes)
        if (&type.descriptor == descriptor) return type.messageClass();
    return nullptr;
}

void readEveryField(const NANOMessageBase* message, const NANOMessageDescriptor& d) {
    for (int32_t slot = 0; slot < d.slotCount; ++slot) {
        const uint32_t flags = d.flags[slot];
        const NANOMessageDescriptor* subMessage = d.subMessages ? d.subMessages[slot] : nullptr;
        (void)NANOHasField(message, slot);
        if (flags & NANOFieldRepeated) {
            (void)NANOGetArray(message, slot, classOf(subMessage));
        } else if (flags & NANOFieldMessage) {
            FUZZ_CHECK(subMessage);
            if (auto sub = NANOGetMessage(message, slot, classOf(subMessage))) readEveryField(sub.get(), *subMessage);
        } else if (flags & (NANOFieldString | NANOFieldBytes)) {
            (void)NANOGetString(message, slot);
        } else if (flags & NANOFieldBool) {
            (void)NANOGetBool(message, slot);
        } else if (flags & (NANOFieldInt32 | NANOFieldUInt32 | NANOFieldEnum)) {
            (void)NANOGetInt32(message, slot);
        } else if (flags & (NANOFieldInt64 | NANOFieldUInt64)) {
            (void)NANOGetInt64(message, slot);
        } else if (flags & (NANOFieldFloat | NANOFieldDouble)) {
            (void)NANOGetDouble(message, slot);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::Choices choices(data, size);
    const MessageType& type = kTypes[choices.byte() % std::size(kTypes)];
    const auto rest = choices.rest();

    auto message = type.fromBuffer(Bytes(rest.begin(), rest.end()));
    if (!message) return 0;
    readEveryField(message.get(), type.descriptor);

    const std::optional<Bytes> encoded = message->protoBuffer();
    FUZZ_CHECK(encoded);
    auto again = type.fromBuffer(*encoded);
    FUZZ_CHECK(again);
    FUZZ_CHECK(again->protoBuffer() == encoded);
    auto copy = type.copy(message->messageInfo());
    FUZZ_CHECK(copy && copy->protoBuffer() == encoded);
    return 0;
}
