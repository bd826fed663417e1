#pragma once
// The nano message runtime: a message is a record of slots (one pointer per
// field, NULL when absent) wrapped by an object that conforms to
// NANOMessageBase. Callers read and write fields by slot index with the
// accessors below; nanopb moves the records to and from the wire through the
// callbacks and the per-message glue (NANOMessageGlue.h).
//
// Misuse (an uninitialised message, a slot of another kind, an element of the
// wrong class) is reported on the console and never raises.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <pb.h>

#include "platform/base/Value.h"

namespace wharf {

struct NANOMessageInfo {
    void** values;  // slotCount pointers, NULL when the field is absent
    const uint32_t* flags;  // slot type codes, shared by every instance of the type
    const char* name;  // the short name; its address is the type's identity
};

// A string or bytes value, or the items of a repeated field.
struct NANOFieldCell {
    uint32_t cursor;  // next item to fill while decoding (0 for strings and bytes)
    uint32_t length;  // byte length, or item count
    void* data;  // the bytes, or an array of `length` item pointers
};

enum NANOFieldFlags : uint32_t {
    NANOFieldOptional = 0x2,
    NANOFieldRepeated = 0x8,
    NANOFieldBool = 0x20,
    NANOFieldEnum = 0x40,
    NANOFieldInt32 = 0x80,
    NANOFieldUInt32 = 0x100,
    NANOFieldInt64 = 0x200,
    NANOFieldUInt64 = 0x400,
    NANOFieldFloat = 0x800,
    NANOFieldDouble = 0x1000,
    NANOFieldString = 0x2000,
    NANOFieldMessage = 0x4000,
    NANOFieldBytes = 0x8000,
};

// The per-message functions.
using NANOInitMessageInfoFn = bool (*)(NANOMessageInfo* info);
using NANODeallocMessageFieldFn = bool (*)(NANOMessageInfo* info, int32_t slot);
using NANOFreeMessageInfoFn = bool (*)(NANOMessageInfo* info);
using NANOCopyMessageInfoFn = bool (*)(NANOMessageInfo** destination, const NANOMessageInfo* source);
// Encodes into a new malloc'ed buffer; answers its length, or -1.
using NANOEncodeMessageInfoFn = int32_t (*)(const NANOMessageInfo* info, uint8_t** buffer);
using NANODecodeMessageInfoFn = bool (*)(const uint8_t* bytes, std::size_t length, NANOMessageInfo* info);

class NANOMessageBase;
using NANOMessagePtr = std::shared_ptr<NANOMessageBase>;

// What a message class offers to code that only knows it by "class": its
// name and its initWithMessageInfo: (null when the class has none).
struct NANOMessageClass {
    const char* className;
    NANOMessagePtr (*initWithMessageInfo)(const NANOMessageInfo* info);
};

// The protocol every message class conforms to.
class NANOMessageBase {
public:
    virtual ~NANOMessageBase() = default;
    // The encoded message, or nullopt when it cannot be encoded.
    virtual std::optional<platform::Bytes> protoBuffer() const = 0;
    virtual std::string messageID() const = 0;
    // The record; not transferred.
    virtual NANOMessageInfo* messageInfo() const = 0;
    virtual NANOInitMessageInfoFn initMessageInfoFn() const = 0;
    virtual NANODeallocMessageFieldFn deallocMessageFieldFn() const = 0;
    virtual NANOCopyMessageInfoFn copyMessageInfoFn() const = 0;
    virtual const char* className() const = 0;
    // The number of slots of the record (every accessor checks its index).
    virtual int32_t slotCount() const = 0;
    // For a message slot, the name constant of the type it holds (nullptr when
    // the slot holds no message): a sub-message of another type is refused.
    virtual const char* slotMessageName(int32_t slot) const = 0;
};

// An element of an array field: a number, string or data value (numbers,
// strings and JSON binary values), or a message object.
using NANOObject = std::variant<platform::Value, NANOMessagePtr>;

// --- accessors by slot ----------------------------------------------------------
bool NANOHasField(const NANOMessageBase* message, int32_t slot);
void NANOClearField(NANOMessageBase* message, int32_t slot);
bool NANOGetBool(const NANOMessageBase* message, int32_t slot);
void NANOSetBool(NANOMessageBase* message, int32_t slot, bool value);
int32_t NANOGetInt32(const NANOMessageBase* message, int32_t slot);
void NANOSetInt32(NANOMessageBase* message, int32_t slot, int32_t value);
int64_t NANOGetInt64(const NANOMessageBase* message, int32_t slot);
void NANOSetInt64(NANOMessageBase* message, int32_t slot, int64_t value);
double NANOGetDouble(const NANOMessageBase* message, int32_t slot);
void NANOSetDouble(NANOMessageBase* message, int32_t slot, double value);
std::optional<std::string> NANOGetString(const NANOMessageBase* message, int32_t slot);
void NANOSetString(NANOMessageBase* message, int32_t slot, const std::optional<std::string>& value);
void NANOSetBytes(NANOMessageBase* message, int32_t slot, const std::optional<platform::Bytes>& value);
NANOMessagePtr NANOGetMessage(const NANOMessageBase* message, int32_t slot, const NANOMessageClass* cls);
void NANOSetMessage(NANOMessageBase* message, int32_t slot, const NANOMessageBase* value);
std::optional<std::vector<NANOObject>> NANOGetArray(const NANOMessageBase* message, int32_t slot,
                                                    const NANOMessageClass* cls = nullptr);
void NANOSetArray(NANOMessageBase* message, int32_t slot, const std::optional<std::vector<NANOObject>>& array);

// --- copies into cells ------------------------------------------------------------
bool NANOCopyStringToCell(const std::string& string, NANOFieldCell* cell);
bool NANOCopyDataToCell(const platform::Bytes& data, NANOFieldCell* cell);

// --- cells and boxes (slot = address of a slot pointer) -----------------------------
bool NANOBoxBool(void** slot, bool value);
bool NANOBoxUInt32(void** slot, uint32_t value);
bool NANOBoxUInt64(void** slot, uint64_t value);
bool NANOBoxFloat(void** slot, float value);
bool NANOBoxDouble(void** slot, double value);
bool NANOCopyBytesToCell(void** slot, const void* bytes, std::size_t length);
bool NANOCopyStringBytesToCell(void** slot, const void* bytes, std::size_t length);
bool NANOResetArrayCell(NANOFieldCell* cell);
bool NANOResetStringCell(NANOFieldCell* cell);

// --- nanopb callbacks ---------------------------------------------------------------
bool NANODecodeRepeatedVarint(pb_istream_t* stream, const pb_field_t* field, void** arg);
bool NANODecodeString(pb_istream_t* stream, const pb_field_t* field, void** arg);
bool NANODecodeBytes(pb_istream_t* stream, const pb_field_t* field, void** arg);
bool NANODecodeRepeatedString(pb_istream_t* stream, const pb_field_t* field, void** arg);
bool NANODecodeRepeatedBytes(pb_istream_t* stream, const pb_field_t* field, void** arg);
bool NANOEncodeRepeatedVarint(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);
bool NANOEncodeString(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);
bool NANOEncodeBytes(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);
bool NANOEncodeRepeatedString(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);
bool NANOEncodeRepeatedBytes(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);

// Encodes a nanopb struct in two passes into a new zero-filled buffer of the
// exact size (freed with free()); answers its length, or -1 with *buffer NULL.
int32_t NANOEncodeMessageToBuffer(const pb_msgdesc_t* fields, const void* message, uint8_t** buffer);

// The largest string or bytes field a decode accepts.
inline constexpr std::size_t NANOMaxFieldLength = 0x100000;

}  // namespace wharf
