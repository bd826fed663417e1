#include "nimbus/nano/NANOMessage.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <pb_decode.h>
#include <pb_encode.h>

#include "platform/base/Log.h"

namespace wharf {

namespace {

// An allocation that never answers NULL for a zero length, so that an empty
// string or bytes field still has data (an empty value, not an absent one).
void* allocZeroed(std::size_t length) { return std::calloc(length ? length : 1, 1); }

const char* nameOf(const NANOMessageInfo* info) { return info && info->name ? info->name : "(null)"; }

// The class name the console lines show for an array element.
std::string classNameOf(const NANOObject& object) {
    if (const auto* message = std::get_if<NANOMessagePtr>(&object)) return *message ? (*message)->className() : "nil";
    const platform::Value& v = std::get<platform::Value>(object);
    if (v.is_number() || v.is_boolean()) return "NSNumber";
    if (v.is_string()) return "NSString";
    if (v.is_binary()) return "NSData";
    if (v.is_array()) return "NSArray";
    if (v.is_object()) return "NSDictionary";
    return "NSNull";
}

bool isNumber(const NANOObject& o) {
    const auto* v = std::get_if<platform::Value>(&o);
    return v && (v->is_number() || v->is_boolean());
}

// Reads a box the width of its type.
template <typename T>
T readBox(const void* box) {
    T value{};
    std::memcpy(&value, box, sizeof(T));
    return value;
}

// The record of a usable message, or nullptr after logging `operation`'s
// misuse line. The slot must be within the record.
NANOMessageInfo* recordFor(const NANOMessageBase* message, int32_t slot, const char* operation) {
    NANOMessageInfo* info = message ? message->messageInfo() : nullptr;
    if (!info || !info->values) {
        platform::log("ProtocolBuffer message hasn't been initialized. %s can't be performed", operation);
        return nullptr;
    }
    if (slot < 0 || slot >= message->slotCount()) {
        platform::log("<Nano/Failure> Field ID is out of range. Message: %s, field ID: %d", nameOf(info), slot);
        return nullptr;
    }
    return info;
}

bool typeMatches(const NANOMessageInfo* info, int32_t slot, bool matches, const char* typeName) {
    if (!matches)
        platform::log("<Nano/Failure> Field type isn't a scalar %s. Message: %s, field ID: %d", typeName, nameOf(info),
                      slot);
    return matches;
}

bool isBoolSlot(uint32_t code) { return (code & 0x28) == 0x20; }
bool isInt32Slot(uint32_t code) { return (code & 0x1C0) && !(code & NANOFieldRepeated); }
bool isInt64Slot(uint32_t code) { return (code & 0x600) && !(code & NANOFieldRepeated); }
bool isDoubleSlot(uint32_t code) { return (code & 0x1008) == 0x1000; }
bool isStringSlot(uint32_t code) { return (code & 0x2008) == 0x2000; }
bool isBytesSlot(uint32_t code) { return (code & 0x8008) == 0x8000; }
bool isMessageSlot(uint32_t code) { return (code & 0x4008) == 0x4000; }

// A deep copy of a message object's record, refused when the slot holds
// another message type (its record would be read with the wrong slot table).
NANOMessageInfo* copyRecordForSlot(const NANOMessageBase* owner, int32_t slot, const NANOMessageBase* value) {
    const NANOMessageInfo* source = value->messageInfo();
    if (!source) return nullptr;
    const char* expected = owner->slotMessageName(slot);
    if (expected && source->name != expected) return nullptr;
    NANOMessageInfo* copy = nullptr;
    if (!value->copyMessageInfoFn()(&copy, source)) return nullptr;
    return copy;
}

}  // namespace

// --- cells and boxes ------------------------------------------------------------

template <typename T>
static bool boxValue(void** slot, T value, std::size_t boxSize, const char* what) {
    if (!slot) {
        std::printf("<ERROR> Unable to set %s. Destination pointer is NULL\n", what);
        return false;
    }
    if (!*slot) {
        *slot = std::calloc(1, boxSize);
        if (!*slot) return false;
    }
    std::memcpy(*slot, &value, sizeof(T));
    return true;
}

bool NANOBoxBool(void** slot, bool value) { return boxValue<uint64_t>(slot, value ? 1 : 0, 8, "bool"); }
bool NANOBoxUInt32(void** slot, uint32_t value) { return boxValue<uint64_t>(slot, value, 8, "uint32"); }
bool NANOBoxUInt64(void** slot, uint64_t value) { return boxValue<uint64_t>(slot, value, 8, "uint64"); }
bool NANOBoxFloat(void** slot, float value) { return boxValue<float>(slot, value, 4, "float"); }
bool NANOBoxDouble(void** slot, double value) { return boxValue<double>(slot, value, 8, "double"); }

bool NANOResetArrayCell(NANOFieldCell* cell) {
    if (!cell) {
        std::puts("<ERROR> Unable to initialize the array. Array pointer is NULL");
        return false;
    }
    std::free(cell->data);
    std::memset(cell, 0, sizeof *cell);
    return true;
}

bool NANOResetStringCell(NANOFieldCell* cell) {
    if (!cell) {
        std::puts("<ERROR> Unable to dealloc string field. String struct is NULL");
        return false;
    }
    std::free(cell->data);
    std::memset(cell, 0, sizeof *cell);
    return true;
}

bool NANOCopyBytesToCell(void** slot, const void* bytes, std::size_t length) {
    if (!slot) {
        std::puts("<ERROR> Unable to set string. Destination array is NULL");
        return false;
    }
    if (length > UINT32_MAX - 1) return false;
    if (!*slot) {
        *slot = std::calloc(1, sizeof(NANOFieldCell));
        if (!*slot) return false;
    }
    auto* cell = static_cast<NANOFieldCell*>(*slot);
    if (cell->data) NANOResetStringCell(cell);
    void* data = std::calloc(length + 1, 1);
    if (!data) return false;
    if (length) std::memcpy(data, bytes, length);
    cell->data = data;
    cell->length = static_cast<uint32_t>(length);
    return true;
}

bool NANOCopyStringBytesToCell(void** slot, const void* bytes, std::size_t length) {
    return NANOCopyBytesToCell(slot, bytes, length);
}

bool NANOCopyStringToCell(const std::string& string, NANOFieldCell* cell) {
    if (!cell || string.size() > UINT32_MAX) return false;
    void* data = allocZeroed(string.size());
    if (!data) return false;
    std::memcpy(data, string.data(), string.size());
    cell->data = data;
    cell->length = static_cast<uint32_t>(string.size());
    return true;
}

bool NANOCopyDataToCell(const platform::Bytes& bytes, NANOFieldCell* cell) {
    if (!cell || bytes.size() > UINT32_MAX) return false;
    void* data = allocZeroed(bytes.size());
    if (!data) return false;
    if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
    cell->data = data;
    cell->length = static_cast<uint32_t>(bytes.size());
    return true;
}

// --- accessors ------------------------------------------------------------------

bool NANOHasField(const NANOMessageBase* message, int32_t slot) {
    NANOMessageInfo* info = message ? message->messageInfo() : nullptr;
    if (!info || !info->values) {
        platform::log(
            "ProtocolBuffer message hasn't been initialized. HasField operation can't be performed. Message name %s",
            message ? message->messageID().c_str() : "(null)");
        return false;
    }
    if (!recordFor(message, slot, "HasField")) return false;
    if (info->flags[slot] & NANOFieldRepeated) return true;
    return info->values[slot] != nullptr;
}

void NANOClearField(NANOMessageBase* message, int32_t slot) {
    NANOMessageInfo* info = recordFor(message, slot, "ClearField");
    if (!info) return;
    message->deallocMessageFieldFn()(info, slot);
}

bool NANOGetBool(const NANOMessageBase* message, int32_t slot) {
    NANOMessageInfo* info = recordFor(message, slot, "GetBool");
    if (!info || !typeMatches(info, slot, isBoolSlot(info->flags[slot]), "BOOL") || !info->values[slot]) return false;
    return readBox<uint8_t>(info->values[slot]) != 0;
}

void NANOSetBool(NANOMessageBase* message, int32_t slot, bool value) {
    NANOMessageInfo* info = recordFor(message, slot, "SetBool");
    if (!info || !typeMatches(info, slot, isBoolSlot(info->flags[slot]), "BOOL")) return;
    NANOBoxUInt32(&info->values[slot], value ? 1 : 0);
}

int32_t NANOGetInt32(const NANOMessageBase* message, int32_t slot) {
    NANOMessageInfo* info = recordFor(message, slot, "GetInt32");
    if (!info || !typeMatches(info, slot, isInt32Slot(info->flags[slot]), "INT32") || !info->values[slot]) return 0;
    return readBox<int32_t>(info->values[slot]);
}

void NANOSetInt32(NANOMessageBase* message, int32_t slot, int32_t value) {
    NANOMessageInfo* info = recordFor(message, slot, "SetInt32");
    if (!info || !typeMatches(info, slot, isInt32Slot(info->flags[slot]), "INT32")) return;
    NANOBoxUInt32(&info->values[slot], static_cast<uint32_t>(value));
}

int64_t NANOGetInt64(const NANOMessageBase* message, int32_t slot) {
    NANOMessageInfo* info = recordFor(message, slot, "GetInt64");
    if (!info || !typeMatches(info, slot, isInt64Slot(info->flags[slot]), "INT64") || !info->values[slot]) return 0;
    return readBox<int64_t>(info->values[slot]);
}

void NANOSetInt64(NANOMessageBase* message, int32_t slot, int64_t value) {
    NANOMessageInfo* info = recordFor(message, slot, "SetInt64");
    if (!info || !typeMatches(info, slot, isInt64Slot(info->flags[slot]), "INT64")) return;
    NANOBoxUInt64(&info->values[slot], static_cast<uint64_t>(value));
}

double NANOGetDouble(const NANOMessageBase* message, int32_t slot) {
    NANOMessageInfo* info = recordFor(message, slot, "GetDouble");
    if (!info || !typeMatches(info, slot, isDoubleSlot(info->flags[slot]), "DOUBLE") || !info->values[slot]) return 0.0;
    return readBox<double>(info->values[slot]);
}

void NANOSetDouble(NANOMessageBase* message, int32_t slot, double value) {
    NANOMessageInfo* info = recordFor(message, slot, "SetDouble");
    if (!info || !typeMatches(info, slot, isDoubleSlot(info->flags[slot]), "DOUBLE")) return;
    NANOBoxDouble(&info->values[slot], value);
}

std::optional<std::string> NANOGetString(const NANOMessageBase* message, int32_t slot) {
    NANOMessageInfo* info = recordFor(message, slot, "GetString");
    if (!info || !typeMatches(info, slot, isStringSlot(info->flags[slot]), "STRING")) return std::nullopt;
    auto* cell = static_cast<NANOFieldCell*>(info->values[slot]);
    if (!cell || !cell->data) return std::nullopt;
    return std::string(static_cast<const char*>(cell->data), cell->length);
}

// Makes the slot's cell empty and ready to take a new value.
static NANOFieldCell* emptyCellForSlot(void** slot, bool (*reset)(NANOFieldCell*)) {
    if (!*slot) *slot = std::calloc(1, sizeof(NANOFieldCell));
    auto* cell = static_cast<NANOFieldCell*>(*slot);
    if (cell && cell->data) reset(cell);
    return cell;
}

void NANOSetString(NANOMessageBase* message, int32_t slot, const std::optional<std::string>& value) {
    NANOMessageInfo* info = recordFor(message, slot, "SetString");
    if (!info || !typeMatches(info, slot, isStringSlot(info->flags[slot]), "STRING")) return;
    if (!value) {
        message->deallocMessageFieldFn()(info, slot);
        return;
    }
    if (NANOFieldCell* cell = emptyCellForSlot(&info->values[slot], NANOResetStringCell))
        NANOCopyStringToCell(*value, cell);
}

void NANOSetBytes(NANOMessageBase* message, int32_t slot, const std::optional<platform::Bytes>& value) {
    NANOMessageInfo* info = recordFor(message, slot, "SetBytes");
    // A bytes cell in a slot of another kind would later be read as a box.
    if (!info || !typeMatches(info, slot, isBytesSlot(info->flags[slot]), "BYTES")) return;
    if (!value) {
        message->deallocMessageFieldFn()(info, slot);
        return;
    }
    if (NANOFieldCell* cell = emptyCellForSlot(&info->values[slot], NANOResetArrayCell))
        NANOCopyDataToCell(*value, cell);
}

static NANOMessagePtr messageFromRecord(const NANOMessageInfo* record, const NANOMessageClass* cls) {
    if (!cls || !cls->initWithMessageInfo) {
        platform::log("<ERROR> Provided class doesn't implement initWithMessageInfo: method. Class: %s",
                      cls && cls->className ? cls->className : "nil");
        return nullptr;
    }
    return cls->initWithMessageInfo(record);
}

NANOMessagePtr NANOGetMessage(const NANOMessageBase* message, int32_t slot, const NANOMessageClass* cls) {
    NANOMessageInfo* info = recordFor(message, slot, "GetMessage");
    if (!info || !typeMatches(info, slot, isMessageSlot(info->flags[slot]), "MESSAGE") || !info->values[slot])
        return nullptr;
    return messageFromRecord(static_cast<const NANOMessageInfo*>(info->values[slot]), cls);
}

void NANOSetMessage(NANOMessageBase* message, int32_t slot, const NANOMessageBase* value) {
    NANOMessageInfo* info = recordFor(message, slot, "SetMessage");
    if (!info || !typeMatches(info, slot, isMessageSlot(info->flags[slot]), "MESSAGE")) return;
    if (!value) return;
    NANOMessageInfo* copy = copyRecordForSlot(message, slot, value);
    if (!copy) {
        platform::log("<ERROR> Invalid object type. Message fields expect NANOMessageBase. Type: %s",
                      value->className());
        return;
    }
    message->deallocMessageFieldFn()(info, slot);
    info->values[slot] = copy;
}

// --- arrays ----------------------------------------------------------------------

std::optional<std::vector<NANOObject>> NANOGetArray(const NANOMessageBase* message, int32_t slot,
                                                    const NANOMessageClass* cls) {
    NANOMessageInfo* info = recordFor(message, slot, "GetArray");
    if (!info) return std::nullopt;
    const uint32_t code = info->flags[slot];
    if (!(code & NANOFieldRepeated)) {
        platform::log("<Nano/Failure> Field type isn't REPEATED. Message: %s, field ID: %d", nameOf(info), slot);
        return std::nullopt;
    }
    auto* cell = static_cast<NANOFieldCell*>(info->values[slot]);
    if (!cell) {
        platform::log("<ERROR> Repeated field should have been allocated");
        return std::nullopt;
    }
    std::vector<NANOObject> result;
    if (!cell->data || cell->length == 0) return result;
    void** items = static_cast<void**>(cell->data);
    for (uint32_t i = 0; i < cell->length; ++i) {
        void* item = items[i];
        if (!item) {
            platform::log("<ERROR> Unable to convert NULL data to an ObjC object");
            continue;
        }
        if (code & NANOFieldBool) {
            result.emplace_back(platform::Value(readBox<uint8_t>(item) != 0));
        } else if (code & NANOFieldInt32) {  // NOLINT(bugprone-branch-clone): enums below travel as int32 too
            result.emplace_back(platform::Value(readBox<int32_t>(item)));
        } else if (code & NANOFieldUInt32) {
            result.emplace_back(platform::Value(readBox<uint32_t>(item)));
        } else if (code & NANOFieldInt64) {
            result.emplace_back(platform::Value(readBox<int64_t>(item)));
        } else if (code & NANOFieldUInt64) {
            result.emplace_back(platform::Value(readBox<uint64_t>(item)));
        } else if (code & NANOFieldFloat) {
            result.emplace_back(platform::Value(readBox<float>(item)));
        } else if (code & NANOFieldDouble) {
            result.emplace_back(platform::Value(readBox<double>(item)));
        } else if (code & NANOFieldEnum) {
            result.emplace_back(platform::Value(readBox<int32_t>(item)));
        } else if (code & NANOFieldString) {
            auto* c = static_cast<NANOFieldCell*>(item);
            result.emplace_back(platform::Value(
                std::string(static_cast<const char*>(c->data ? c->data : ""), c->data ? c->length : 0)));
        } else if (code & NANOFieldBytes) {
            auto* c = static_cast<NANOFieldCell*>(item);
            const auto* p = static_cast<const uint8_t*>(c->data);
            result.emplace_back(platform::bytesValue(p ? platform::Bytes(p, p + c->length) : platform::Bytes{}));
        } else if (code & NANOFieldMessage) {
            if (!cls || !cls->initWithMessageInfo) {
                platform::log("<ERROR> Provided class doesn't implement initWithMessageInfo: method. Class: %s",
                              cls && cls->className ? cls->className : "nil");
                continue;
            }
            if (NANOMessagePtr element = cls->initWithMessageInfo(static_cast<const NANOMessageInfo*>(item)))
                result.emplace_back(std::move(element));
        } else {
            platform::log("<ERROR> Unable to convert byte data to an ObjC object. Unknown type. %d",
                          static_cast<int>(code));
        }
    }
    return result;
}

namespace {

// Converts one element into its item; false after logging why not.
bool itemFromObject(const NANOMessageBase* owner, int32_t slot, uint32_t code, const NANOObject& object, void** item) {
    auto wrong = [&](const char* kind) {
        platform::log("<ERROR> Invalid object type. %s Type: %s", kind, classNameOf(object).c_str());
        return false;
    };
    const platform::Value* v = std::get_if<platform::Value>(&object);
    if (code & NANOFieldBool) {
        if (!isNumber(object)) return wrong("Boolean fields expect NSNumber.");
        return NANOBoxBool(item, platform::boolValue(*v));
    }
    if (code & (NANOFieldInt32 | NANOFieldUInt32)) {
        if (!isNumber(object)) return wrong("Int32 fields expect NSNumber.");
        return NANOBoxUInt32(item, static_cast<uint32_t>(platform::integerValue(*v)));
    }
    if (code & (NANOFieldInt64 | NANOFieldUInt64)) {
        if (!isNumber(object)) return wrong("Int64 fields expect NSNumber.");
        return NANOBoxUInt64(
            item, v->is_number_unsigned() ? v->get<uint64_t>() : static_cast<uint64_t>(platform::integerValue(*v)));
    }
    if (code & NANOFieldFloat) {
        if (!isNumber(object)) return wrong("Float fields expect NSNumber.");
        return NANOBoxFloat(item, platform::floatValue(*v));
    }
    if (code & NANOFieldDouble) {
        if (!isNumber(object)) return wrong("Double fields expect NSNumber.");
        return NANOBoxDouble(item, platform::doubleValue(*v));
    }
    if (code & NANOFieldEnum) {
        if (!isNumber(object)) return wrong("Enum fields expect NSNumber.");
        return NANOBoxUInt32(item, static_cast<uint32_t>(platform::integerValue(*v)));
    }
    if (code & NANOFieldString) {
        if (!v || !v->is_string()) return wrong("String fields expect NSString.");
        *item = std::calloc(1, sizeof(NANOFieldCell));
        return *item && NANOCopyStringToCell(v->get_ref<const std::string&>(), static_cast<NANOFieldCell*>(*item));
    }
    if (code & NANOFieldBytes) {
        if (!v || !v->is_binary()) return wrong("Bytes fields expect NSData.");
        *item = std::calloc(1, sizeof(NANOFieldCell));
        return *item && NANOCopyDataToCell(platform::bytesOf(*v), static_cast<NANOFieldCell*>(*item));
    }
    if (code & NANOFieldMessage) {
        const NANOMessagePtr* m = std::get_if<NANOMessagePtr>(&object);
        if (!m || !*m) return wrong("Message fields expect NANOMessageBase.");
        *item = copyRecordForSlot(owner, slot, m->get());
        if (!*item) return wrong("Message fields expect NANOMessageBase.");
        return true;
    }
    platform::log("<ERROR> Unable to convert ObjC object to byte data. Unknown type. %d", static_cast<int>(code));
    return false;
}

}  // namespace

void NANOSetArray(NANOMessageBase* message, int32_t slot, const std::optional<std::vector<NANOObject>>& array) {
    NANOMessageInfo* info = recordFor(message, slot, "SetArray");
    if (!info) return;
    const uint32_t code = info->flags[slot];
    if (!(code & NANOFieldRepeated)) {
        platform::log("<Nano/Failure> Field type isn't REPEATED. Message: %s, field ID: %d", nameOf(info), slot);
        return;
    }
    auto* cell = static_cast<NANOFieldCell*>(info->values[slot]);
    if (!cell) {
        platform::log("<ERROR> Repeated field should have been allocated");
        return;
    }
    NANODeallocMessageFieldFn dealloc = message->deallocMessageFieldFn();
    dealloc(info, slot);
    if (!array) return;
    if (array->size() > UINT32_MAX) return;
    cell->data = std::calloc(array->empty() ? 1 : array->size(), sizeof(void*));
    if (!cell->data) {
        platform::log("<ERROR> Unable to set NULL data to an ObjC object");
        dealloc(info, slot);
        return;
    }
    cell->length = static_cast<uint32_t>(array->size());
    void** items = static_cast<void**>(cell->data);
    for (std::size_t i = 0; i < array->size(); ++i) {
        if (!itemFromObject(message, slot, code, (*array)[i], &items[i])) {
            dealloc(info, slot);  // set wholly or left empty
            return;
        }
    }
}

// --- nanopb callbacks -----------------------------------------------------------------

bool NANODecodeRepeatedVarint(pb_istream_t* stream, const pb_field_t*, void** arg) {
    if (!arg || !*arg) return false;
    auto* cell = static_cast<NANOFieldCell*>(*arg);
    uint64_t value = 0;
    if (!pb_decode_varint(stream, &value)) return false;
    if (!cell->data) {
        if (cell->length == UINT32_MAX) return false;
        ++cell->length;
        return true;
    }
    // The second pass fills exactly the items the first one counted.
    if (cell->cursor >= cell->length) return false;
    void** items = static_cast<void**>(cell->data);
    if (!NANOBoxUInt64(&items[cell->cursor], value)) return false;
    ++cell->cursor;
    return true;
}

bool NANODecodeString(pb_istream_t* stream, const pb_field_t*, void** arg) {
    if (!arg || !*arg) return false;
    void** slot = static_cast<void**>(*arg);
    if (*slot) {
        auto* cell = static_cast<NANOFieldCell*>(*slot);
        if (cell->data) return pb_read(stream, nullptr, stream->bytes_left);
        std::puts("<ERROR> String decoder failed: string data is NULL");
        return false;
    }
    auto* cell = static_cast<NANOFieldCell*>(std::calloc(1, sizeof(NANOFieldCell)));
    if (!cell) return false;
    *slot = cell;
    std::size_t n = stream->bytes_left;
    if (n > NANOMaxFieldLength) {
        std::printf("Unable to process proto stream. Buffer is too big. %zu > %d\n", n,
                    static_cast<int>(NANOMaxFieldLength));
        return false;
    }
    void* data = allocZeroed(n);
    if (!data) return false;
    cell->data = data;
    cell->length = static_cast<uint32_t>(n);
    if (!pb_read(stream, static_cast<pb_byte_t*>(data), n)) {
        std::free(data);
        cell->data = nullptr;
        cell->length = 0;
        return false;
    }
    return true;
}

bool NANODecodeBytes(pb_istream_t* stream, const pb_field_t* field, void** arg) {
    return NANODecodeString(stream, field, arg);
}

bool NANODecodeRepeatedString(pb_istream_t* stream, const pb_field_t* field, void** arg) {
    if (!arg || !*arg) return false;
    auto* cell = static_cast<NANOFieldCell*>(*arg);
    if (!cell->data) {
        if (!pb_read(stream, nullptr, stream->bytes_left)) return false;
        if (cell->length == UINT32_MAX) return false;
        ++cell->length;
        return true;
    }
    if (cell->cursor >= cell->length) return false;
    void** items = static_cast<void**>(cell->data);
    void* itemSlot = &items[cell->cursor++];
    return NANODecodeString(stream, field, &itemSlot);
}

bool NANODecodeRepeatedBytes(pb_istream_t* stream, const pb_field_t* field, void** arg) {
    return NANODecodeRepeatedString(stream, field, arg);
}

bool NANOEncodeRepeatedVarint(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    if (!arg || !*arg) return false;
    auto* cell = static_cast<const NANOFieldCell*>(*arg);
    if (!cell->data) return false;
    void* const* items = static_cast<void* const*>(cell->data);
    for (uint32_t i = 0; i < cell->length; ++i) {
        if (!items[i]) return false;
        if (!pb_encode_tag_for_field(stream, field)) return false;
        if (!pb_encode_varint(stream, readBox<uint64_t>(items[i]))) return false;
    }
    return true;
}

bool NANOEncodeString(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    if (!arg || !*arg) return false;
    auto* cell = static_cast<const NANOFieldCell*>(*arg);
    if (!cell->data) return false;
    return pb_encode_tag_for_field(stream, field) &&
           pb_encode_string(stream, static_cast<const pb_byte_t*>(cell->data), cell->length);
}

bool NANOEncodeBytes(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    return NANOEncodeString(stream, field, arg);
}

bool NANOEncodeRepeatedString(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    if (!arg || !*arg) return false;
    auto* cell = static_cast<const NANOFieldCell*>(*arg);
    if (!cell->data) return false;
    void* const* items = static_cast<void* const*>(cell->data);
    for (uint32_t i = 0; i < cell->length; ++i) {
        void* item = items[i];
        if (!NANOEncodeString(stream, field, &item)) return false;
    }
    return true;
}

bool NANOEncodeRepeatedBytes(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    return NANOEncodeRepeatedString(stream, field, arg);
}

int32_t NANOEncodeMessageToBuffer(const pb_msgdesc_t* fields, const void* message, uint8_t** buffer) {
    if (!buffer) return -1;
    *buffer = nullptr;
    std::size_t size = 0;
    if (!pb_get_encoded_size(&size, fields, message) || size > INT32_MAX) return -1;
    auto* out = static_cast<uint8_t*>(allocZeroed(size));
    if (!out) return -1;
    pb_ostream_t stream = pb_ostream_from_buffer(out, size);
    if (!pb_encode(&stream, fields, message)) {
        std::free(out);
        return -1;
    }
    *buffer = out;
    return static_cast<int32_t>(stream.bytes_written);
}

}  // namespace wharf
