#pragma once
// The per-message glue between records and nanopb structs, driven by a table
// per message type: its slot codes, the tag of each slot, the nanopb field
// table and, for message slots, the type of the sub-message. Each message type
// instantiates NANOMessageFunctions over its descriptor to get the family of
// functions (init, dealloc field, free, copy, encode, decode, and the element
// callbacks used when it is the element of a repeated field).
#include <cstddef>
#include <cstdint>
#include <memory>

#include "nimbus/nano/NANOMessage.h"

namespace wharf {

struct NANOMessageDescriptor {
    const char* name;  // the name constant (the type's identity)
    const char* className;  // the wrapper class, for console lines
    int32_t slotCount;
    const uint32_t* flags;  // slot type codes
    const pb_size_t* tags;  // tag of each slot
    const char* const* fieldNames;  // schema name of each slot
    const pb_msgdesc_t* fields;  // nanopb field table
    std::size_t structSize;  // sizeof the nanopb struct
    // Per slot: the sub-message's type for message slots, else nullptr.
    const NANOMessageDescriptor* const* subMessages;
    // The type's family of functions (NANO_MESSAGE_FUNCTIONS fills them in).
    NANOInitMessageInfoFn init;
    NANODeallocMessageFieldFn deallocField;
    NANOFreeMessageInfoFn free;
    NANOCopyMessageInfoFn copy;
    NANOEncodeMessageInfoFn encode;
    NANODecodeMessageInfoFn decode;
    // Callbacks for a repeated field whose elements are this type.
    bool (*decodeRepeatedElement)(pb_istream_t*, const pb_field_t*, void**);
    bool (*encodeRepeatedElement)(pb_ostream_t*, const pb_field_t*, void* const*);
};

// The generic bodies of the per-message functions.
bool nanoInitMessage(const NANOMessageDescriptor& d, NANOMessageInfo* info);
bool nanoDeallocField(const NANOMessageDescriptor& d, NANOMessageInfo* info, int32_t slot);
bool nanoFreeMessage(const NANOMessageDescriptor& d, NANOMessageInfo* info);
bool nanoCopyMessage(const NANOMessageDescriptor& d, NANOMessageInfo** destination, const NANOMessageInfo* source);
int32_t nanoEncodeMessage(const NANOMessageDescriptor& d, const NANOMessageInfo* info, uint8_t** buffer);
bool nanoDecodeMessage(const NANOMessageDescriptor& d, const uint8_t* bytes, std::size_t length, NANOMessageInfo* info);
bool nanoDecodeRepeatedMessage(const NANOMessageDescriptor& element, pb_istream_t* stream, const pb_field_t* field,
                               void** arg);
bool nanoEncodeRepeatedMessage(const NANOMessageDescriptor& element, pb_ostream_t* stream, const pb_field_t* field,
                               void* const* arg);

template <const NANOMessageDescriptor& D>
struct NANOMessageFunctions {
    static bool init(NANOMessageInfo* info) { return nanoInitMessage(D, info); }
    static bool deallocField(NANOMessageInfo* info, int32_t slot) { return nanoDeallocField(D, info, slot); }
    static bool free(NANOMessageInfo* info) { return nanoFreeMessage(D, info); }
    static bool copy(NANOMessageInfo** destination, const NANOMessageInfo* source) {
        return nanoCopyMessage(D, destination, source);
    }
    static int32_t encode(const NANOMessageInfo* info, uint8_t** buffer) { return nanoEncodeMessage(D, info, buffer); }
    static bool decode(const uint8_t* bytes, std::size_t length, NANOMessageInfo* info) {
        return nanoDecodeMessage(D, bytes, length, info);
    }
    static bool decodeRepeatedElement(pb_istream_t* stream, const pb_field_t* field, void** arg) {
        return nanoDecodeRepeatedMessage(D, stream, field, arg);
    }
    static bool encodeRepeatedElement(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
        return nanoEncodeRepeatedMessage(D, stream, field, arg);
    }
};

// The function members of a descriptor named `d`, in declaration order.
#define NANO_MESSAGE_FUNCTIONS(d)                                                                           \
    &NANOMessageFunctions<d>::init, &NANOMessageFunctions<d>::deallocField, &NANOMessageFunctions<d>::free, \
        &NANOMessageFunctions<d>::copy, &NANOMessageFunctions<d>::encode, &NANOMessageFunctions<d>::decode, \
        &NANOMessageFunctions<d>::decodeRepeatedElement, &NANOMessageFunctions<d>::encodeRepeatedElement

// The wrapper object shared by every message class: owns its record.
class NANOMessage : public NANOMessageBase {
public:
    NANOMessage(const NANOMessageDescriptor& descriptor, NANOMessageInfo* ownedInfo)
        : descriptor_(descriptor), info_(ownedInfo) {}
    ~NANOMessage() override;
    NANOMessage(const NANOMessage&) = delete;
    NANOMessage& operator=(const NANOMessage&) = delete;

    std::optional<platform::Bytes> protoBuffer() const override;
    std::string messageID() const override { return descriptor_.name; }
    NANOMessageInfo* messageInfo() const override { return info_; }
    NANOInitMessageInfoFn initMessageInfoFn() const override { return descriptor_.init; }
    NANODeallocMessageFieldFn deallocMessageFieldFn() const override { return descriptor_.deallocField; }
    NANOCopyMessageInfoFn copyMessageInfoFn() const override { return descriptor_.copy; }
    const char* className() const override { return descriptor_.className; }
    int32_t slotCount() const override { return descriptor_.slotCount; }
    const char* slotMessageName(int32_t slot) const override;

    // A new record for an instance: empty for NULL, else a deep copy of a
    // record of this very type (nullptr for another type or on failure).
    static NANOMessageInfo* recordFrom(const NANOMessageDescriptor& d, const NANOMessageInfo* info);
    // A new record decoded from a buffer, or nullptr.
    static NANOMessageInfo* recordFromBuffer(const NANOMessageDescriptor& d, const platform::Bytes& buffer);

private:
    const NANOMessageDescriptor& descriptor_;
    NANOMessageInfo* info_;
};

// The class side of a message type: initWithMessageInfo: and initWithBuffer:.
template <class Derived, const NANOMessageDescriptor& D>
class NANOTypedMessage : public NANOMessage {
public:
    explicit NANOTypedMessage(NANOMessageInfo* ownedInfo) : NANOMessage(D, ownedInfo) {}

    static const NANOMessageDescriptor& descriptor() { return D; }
    static std::shared_ptr<Derived> initWithMessageInfo(const NANOMessageInfo* info) {
        NANOMessageInfo* record = recordFrom(D, info);
        return record ? std::make_shared<Derived>(record) : nullptr;
    }
    static std::shared_ptr<Derived> initWithBuffer(const platform::Bytes& buffer) {
        NANOMessageInfo* record = recordFromBuffer(D, buffer);
        return record ? std::make_shared<Derived>(record) : nullptr;
    }
    // An empty message.
    static std::shared_ptr<Derived> create() { return initWithMessageInfo(nullptr); }
    static const NANOMessageClass* messageClass() {
        static const NANOMessageClass cls{
            D.className, [](const NANOMessageInfo* info) -> NANOMessagePtr { return initWithMessageInfo(info); }};
        return &cls;
    }
};

}  // namespace wharf
