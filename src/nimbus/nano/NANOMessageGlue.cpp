#include "nimbus/nano/NANOMessageGlue.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <pb_common.h>
#include <pb_decode.h>
#include <pb_encode.h>

namespace wharf {

namespace {

bool isRepeated(uint32_t code) { return code & NANOFieldRepeated; }
bool isCell(uint32_t code) { return code & (NANOFieldString | NANOFieldBytes); }
bool isMessage(uint32_t code) { return code & NANOFieldMessage; }

// Width of a scalar of the slot's type in a box (what readers read).
std::size_t valueWidth(uint32_t code) {
    if (code & NANOFieldBool) return 1;
    if (code & (NANOFieldInt64 | NANOFieldUInt64 | NANOFieldDouble)) return 8;
    return 4;  // int32, uint32, enum, float
}
std::size_t boxSize(uint32_t code) { return (code & NANOFieldFloat) ? 4 : 8; }

void* copyBox(uint32_t code, const void* box) {
    void* copy = std::calloc(1, boxSize(code));
    if (copy) std::memcpy(copy, box, valueWidth(code));
    return copy;
}

bool findField(const NANOMessageDescriptor& d, void* structPtr, int32_t slot, pb_field_iter_t* it) {
    return pb_field_iter_begin(it, d.fields, structPtr) && pb_field_iter_find(it, d.tags[slot]);
}

NANOMessageInfo* newRecord(const NANOMessageDescriptor& d) {
    auto* record = static_cast<NANOMessageInfo*>(std::calloc(1, sizeof(NANOMessageInfo)));
    if (record && !nanoInitMessage(d, record)) {
        nanoFreeMessage(d, record);
        return nullptr;
    }
    return record;
}

// Counts the repeated fields of singular sub-messages too: their callbacks
// run in the same passes over the same bytes, so they need the second pass.
bool hasRepeatedField(const NANOMessageDescriptor& d) {
    for (int32_t slot = 0; slot < d.slotCount; ++slot) {
        const uint32_t code = d.flags[slot];
        if (isRepeated(code)) return true;
        if (isMessage(code) && d.subMessages[slot] && hasRepeatedField(*d.subMessages[slot])) return true;
    }
    return false;
}

// Frees one item of a repeated field.
void freeItem(const NANOMessageDescriptor& d, int32_t slot, void* item) {
    if (!item) return;
    const uint32_t code = d.flags[slot];
    if (isMessage(code)) {
        nanoFreeMessage(*d.subMessages[slot], static_cast<NANOMessageInfo*>(item));
    } else if (isCell(code)) {
        NANOResetStringCell(static_cast<NANOFieldCell*>(item));
        std::free(item);
    } else {
        std::free(item);
    }
}

// Copies one present value (an item or a singular slot) into `out`.
bool copyValue(const NANOMessageDescriptor& d, int32_t slot, const void* value, void** out) {
    const uint32_t code = d.flags[slot];
    if (isMessage(code)) {
        auto** record = reinterpret_cast<NANOMessageInfo**>(out);
        return nanoCopyMessage(*d.subMessages[slot], record, static_cast<const NANOMessageInfo*>(value));
    }
    if (isCell(code)) {
        auto* cell = static_cast<const NANOFieldCell*>(value);
        if (!cell->data) {
            *out = std::calloc(1, sizeof(NANOFieldCell));
            return *out != nullptr;
        }
        return NANOCopyBytesToCell(out, cell->data, cell->length);
    }
    *out = copyBox(code, value);
    return *out != nullptr;
}

// Fills a nanopb struct from a record for encoding.
bool prepareForEncoding(const NANOMessageDescriptor& d, const NANOMessageInfo* info, void* structPtr) {
    if (!info || !info->values || info->name != d.name) return false;
    for (int32_t slot = 0; slot < d.slotCount; ++slot) {
        const uint32_t code = d.flags[slot];
        void* value = info->values[slot];
        if (!isRepeated(code) && !value) continue;
        pb_field_iter_t it;
        if (!findField(d, structPtr, slot, &it)) return false;
        if (isRepeated(code)) {
            auto* cell = static_cast<NANOFieldCell*>(value);
            if (!cell) {
                std::printf("<ERROR> %s Encoder: '%s' should have been allocated\n", d.name, d.fieldNames[slot]);
                return false;
            }
            if (cell->length == 0) continue;
            auto* callback = static_cast<pb_callback_t*>(it.pData);
            callback->arg = cell;
            if (isMessage(code))
                callback->funcs.encode = d.subMessages[slot]->encodeRepeatedElement;
            else if (isCell(code))
                callback->funcs.encode = NANOEncodeRepeatedString;
            else
                callback->funcs.encode = NANOEncodeRepeatedVarint;
        } else if (isCell(code)) {
            auto* callback = static_cast<pb_callback_t*>(it.pData);
            callback->funcs.encode = NANOEncodeString;
            callback->arg = value;
        } else if (isMessage(code)) {
            *static_cast<bool*>(it.pSize) = true;
            if (!prepareForEncoding(*d.subMessages[slot], static_cast<const NANOMessageInfo*>(value), it.pData))
                return false;
        } else {
            *static_cast<bool*>(it.pSize) = true;
            std::memcpy(it.pData, value, std::min<std::size_t>(it.data_size, valueWidth(code)));
        }
    }
    return true;
}

// Points the callback fields of a nanopb struct at the record's slots and
// pre-creates singular sub-records, for decoding.
bool prepareForDecoding(const NANOMessageDescriptor& d, NANOMessageInfo* info, void* structPtr) {
    for (int32_t slot = 0; slot < d.slotCount; ++slot) {
        const uint32_t code = d.flags[slot];
        if (!isRepeated(code) && !isCell(code) && !isMessage(code)) continue;
        pb_field_iter_t it;
        if (!findField(d, structPtr, slot, &it)) return false;
        if (isRepeated(code)) {
            // Dropping the items first: a reset alone would leak them.
            nanoDeallocField(d, info, slot);
            auto* callback = static_cast<pb_callback_t*>(it.pData);
            callback->arg = info->values[slot];
            if (isMessage(code))
                callback->funcs.decode = d.subMessages[slot]->decodeRepeatedElement;
            else if (isCell(code))
                callback->funcs.decode = NANODecodeRepeatedString;
            else
                callback->funcs.decode = NANODecodeRepeatedVarint;
        } else if (isCell(code)) {
            auto* callback = static_cast<pb_callback_t*>(it.pData);
            callback->funcs.decode = NANODecodeString;
            callback->arg = &info->values[slot];
        } else {
            nanoDeallocField(d, info, slot);
            const NANOMessageDescriptor& sub = *d.subMessages[slot];
            NANOMessageInfo* record = newRecord(sub);
            if (!record) return false;
            info->values[slot] = record;
            if (!prepareForDecoding(sub, record, it.pData)) return false;
        }
    }
    return true;
}

// Moves the decoded static fields into boxes; drops sub-records that were absent.
bool collectDecoded(const NANOMessageDescriptor& d, NANOMessageInfo* info, void* structPtr) {
    for (int32_t slot = 0; slot < d.slotCount; ++slot) {
        const uint32_t code = d.flags[slot];
        if (isRepeated(code) || isCell(code)) continue;
        pb_field_iter_t it;
        if (!findField(d, structPtr, slot, &it)) return false;
        const bool present = it.pSize && *static_cast<const bool*>(it.pSize);
        if (isMessage(code)) {
            if (!present)
                nanoDeallocField(d, info, slot);
            else if (!collectDecoded(*d.subMessages[slot], static_cast<NANOMessageInfo*>(info->values[slot]), it.pData))
                return false;
            continue;
        }
        if (!present) continue;
        if (!info->values[slot]) {
            info->values[slot] = std::calloc(1, boxSize(code));
            if (!info->values[slot]) return false;
        }
        std::memset(info->values[slot], 0, boxSize(code));
        std::memcpy(info->values[slot], it.pData, std::min<std::size_t>(it.data_size, valueWidth(code)));
    }
    return true;
}

bool runDecode(const NANOMessageDescriptor& d, const uint8_t* bytes, std::size_t length, void* structPtr) {
    pb_istream_t stream = pb_istream_from_buffer(bytes, length);
    if (pb_decode(&stream, d.fields, structPtr)) return true;
    std::printf("<ERROR> %s decoder failed: %s\n", d.name, stream.errmsg ? stream.errmsg : "(none)");
    return false;
}

// Gives every counted repeated cell its item array, down through the
// sub-records that prepareForDecoding made for singular sub-messages.
bool allocateArrays(const NANOMessageDescriptor& d, NANOMessageInfo* info) {
    for (int32_t slot = 0; slot < d.slotCount; ++slot) {
        const uint32_t code = d.flags[slot];
        if (isMessage(code) && !isRepeated(code)) {
            auto* sub = static_cast<NANOMessageInfo*>(info->values[slot]);
            if (sub && !allocateArrays(*d.subMessages[slot], sub)) return false;
            continue;
        }
        if (!isRepeated(code)) continue;
        auto* cell = static_cast<NANOFieldCell*>(info->values[slot]);
        if (!cell) {
            std::printf("<ERROR> Cannot allocate %s arrays. Missing params field (%s)\n", d.name, d.fieldNames[slot]);
            std::printf("<ERROR> %s decoder failed: Unable to allocate arrays\n", d.name);
            return false;
        }
        cell->cursor = 0;
        if (cell->length == 0) continue;
        cell->data = std::calloc(cell->length, sizeof(void*));
        if (!cell->data) {
            std::printf("<ERROR> %s decoder failed: Unable to allocate arrays\n", d.name);
            cell->length = 0;
            return false;
        }
    }
    return true;
}

struct StructBuffer {
    explicit StructBuffer(std::size_t size) : ptr(std::calloc(1, size ? size : 1)) {}
    ~StructBuffer() { std::free(ptr); }
    StructBuffer(const StructBuffer&) = delete;
    StructBuffer& operator=(const StructBuffer&) = delete;
    void* ptr;
};

}  // namespace

bool nanoInitMessage(const NANOMessageDescriptor& d, NANOMessageInfo* info) {
    if (!info) return false;
    info->name = d.name;
    info->flags = d.flags;
    info->values = static_cast<void**>(std::calloc(d.slotCount, sizeof(void*)));
    if (!info->values) return false;
    for (int32_t slot = 0; slot < d.slotCount; ++slot) {
        if (!isRepeated(d.flags[slot])) continue;
        info->values[slot] = std::calloc(1, sizeof(NANOFieldCell));
        if (!info->values[slot]) return false;
    }
    return true;
}

bool nanoDeallocField(const NANOMessageDescriptor& d, NANOMessageInfo* info, int32_t slot) {
    if (!info || !info->values) return false;
    if (slot < 0 || slot >= d.slotCount) {
        std::printf("<ERROR> %s: Cannot deallocate field %d: Unknown field\n", d.name, slot);
        return false;
    }
    const uint32_t code = d.flags[slot];
    void* value = info->values[slot];
    if (isRepeated(code)) {
        auto* cell = static_cast<NANOFieldCell*>(value);
        if (!cell) return true;
        if (cell->data) {
            void** items = static_cast<void**>(cell->data);
            for (uint32_t i = 0; i < cell->length; ++i) freeItem(d, slot, items[i]);
        }
        NANOResetArrayCell(cell);  // the cell itself lives as long as the record
        return true;
    }
    if (!value) return true;
    if (isCell(code)) {
        NANOResetStringCell(static_cast<NANOFieldCell*>(value));
        std::free(value);
    } else if (isMessage(code)) {
        nanoFreeMessage(*d.subMessages[slot], static_cast<NANOMessageInfo*>(value));
    } else {
        std::free(value);
    }
    info->values[slot] = nullptr;
    return true;
}

bool nanoFreeMessage(const NANOMessageDescriptor& d, NANOMessageInfo* info) {
    if (!info) return false;
    if (info->values) {
        for (int32_t slot = 0; slot < d.slotCount; ++slot) {
            nanoDeallocField(d, info, slot);
            if (isRepeated(d.flags[slot])) std::free(info->values[slot]);
        }
        std::free(info->values);
    }
    std::free(info);
    return true;
}

bool nanoCopyMessage(const NANOMessageDescriptor& d, NANOMessageInfo** destination, const NANOMessageInfo* source) {
    if (!destination || !source || !source->values || source->name != d.name) return false;
    if (*destination) {
        nanoFreeMessage(d, *destination);
        *destination = nullptr;
    }
    NANOMessageInfo* record = newRecord(d);
    if (!record) return false;
    for (int32_t slot = 0; slot < d.slotCount; ++slot) {
        const void* value = source->values[slot];
        if (!value) continue;
        bool ok = true;
        if (isRepeated(d.flags[slot])) {
            auto* from = static_cast<const NANOFieldCell*>(value);
            auto* to = static_cast<NANOFieldCell*>(record->values[slot]);
            if (!from->data || from->length == 0) continue;
            to->data = std::calloc(from->length, sizeof(void*));
            ok = to->data != nullptr;
            if (ok) to->length = from->length;
            void* const* items = static_cast<void* const*>(from->data);
            for (uint32_t i = 0; ok && i < from->length; ++i)
                if (items[i]) ok = copyValue(d, slot, items[i], &static_cast<void**>(to->data)[i]);
        } else {
            ok = copyValue(d, slot, value, &record->values[slot]);
        }
        if (!ok) {
            nanoFreeMessage(d, record);
            return false;
        }
    }
    *destination = record;
    return true;
}

int32_t nanoEncodeMessage(const NANOMessageDescriptor& d, const NANOMessageInfo* info, uint8_t** buffer) {
    if (buffer) *buffer = nullptr;
    StructBuffer s(d.structSize);
    if (!s.ptr || !prepareForEncoding(d, info, s.ptr)) return -1;
    return NANOEncodeMessageToBuffer(d.fields, s.ptr, buffer);
}

bool nanoDecodeMessage(const NANOMessageDescriptor& d, const uint8_t* bytes, std::size_t length,
                       NANOMessageInfo* info) {
    if (!info || !info->values) {
        std::printf("<ERROR> %s decoder failed: message_info is NULL\n", d.name);
        return false;
    }
    StructBuffer s(d.structSize);
    if (!s.ptr) return false;
    if (!prepareForDecoding(d, info, s.ptr)) {
        std::printf("<ERROR> %s decoder failed: Unable to set decoders\n", d.name);
        return false;
    }
    if (!runDecode(d, bytes, length, s.ptr)) return false;
    if (hasRepeatedField(d)) {
        // The first pass counted the repeated elements; the second fills them.
        if (!allocateArrays(d, info) || !runDecode(d, bytes, length, s.ptr)) return false;
    }
    return collectDecoded(d, info, s.ptr);
}

bool nanoDecodeRepeatedMessage(const NANOMessageDescriptor& element, pb_istream_t* stream, const pb_field_t*,
                               void** arg) {
    if (!arg || !*arg) {
        std::printf("<ERROR> %s decoder failed: Invalid arg parameter\n", element.name);
        return false;
    }
    auto* cell = static_cast<NANOFieldCell*>(*arg);
    if (!cell->data) {
        if (!pb_read(stream, nullptr, stream->bytes_left)) {
            std::printf("<ERROR> %s decoder failed: %s\n", element.name, stream->errmsg ? stream->errmsg : "(none)");
            return false;
        }
        if (cell->length == UINT32_MAX) return false;
        ++cell->length;
        return true;
    }
    if (cell->cursor >= cell->length) {
        std::printf("<ERROR> %s decoder failed: Unable to decode repeated %s\n", element.name, element.name);
        return false;
    }
    std::size_t n = stream->bytes_left;
    StructBuffer buffer(n);
    if (!buffer.ptr || !pb_read(stream, static_cast<pb_byte_t*>(buffer.ptr), n)) {
        std::printf("<ERROR> %s decoder failed: Unable to extract buffer from stream\n", element.name);
        return false;
    }
    NANOMessageInfo* record = newRecord(element);
    if (!record) {
        std::printf("<ERROR> %s decoder failed: Unable to initialize MessageInfo\n", element.name);
        return false;
    }
    static_cast<void**>(cell->data)[cell->cursor++] = record;
    if (!nanoDecodeMessage(element, static_cast<const uint8_t*>(buffer.ptr), n, record)) {
        std::printf("<ERROR> %s decoder failed: Unable to decode repeated %s\n", element.name, element.name);
        return false;
    }
    return true;
}

bool nanoEncodeRepeatedMessage(const NANOMessageDescriptor& element, pb_ostream_t* stream, const pb_field_t* field,
                               void* const* arg) {
    if (!arg || !*arg) return false;
    auto* cell = static_cast<const NANOFieldCell*>(*arg);
    if (!cell->data) return false;
    void* const* items = static_cast<void* const*>(cell->data);
    for (uint32_t i = 0; i < cell->length; ++i) {
        StructBuffer s(element.structSize);
        if (!s.ptr || !prepareForEncoding(element, static_cast<const NANOMessageInfo*>(items[i]), s.ptr)) return false;
        if (!pb_encode_tag_for_field(stream, field) || !pb_encode_submessage(stream, element.fields, s.ptr))
            return false;
    }
    return true;
}

// --- the wrapper ------------------------------------------------------------------

NANOMessage::~NANOMessage() { nanoFreeMessage(descriptor_, info_); }

// Same two passes as NANOEncodeMessageToBuffer, written straight into the
// result so that the bytes are not copied once more.
std::optional<platform::Bytes> NANOMessage::protoBuffer() const {
    if (!info_) return std::nullopt;
    StructBuffer s(descriptor_.structSize);
    if (!s.ptr || !prepareForEncoding(descriptor_, info_, s.ptr)) return std::nullopt;
    std::size_t size = 0;
    if (!pb_get_encoded_size(&size, descriptor_.fields, s.ptr) || size > INT32_MAX) return std::nullopt;
    platform::Bytes result(size);
    pb_ostream_t stream = pb_ostream_from_buffer(result.data(), size);
    if (!pb_encode(&stream, descriptor_.fields, s.ptr)) return std::nullopt;
    result.resize(stream.bytes_written);
    return result;
}

const char* NANOMessage::slotMessageName(int32_t slot) const {
    if (slot < 0 || slot >= descriptor_.slotCount || !descriptor_.subMessages) return nullptr;
    const NANOMessageDescriptor* sub = descriptor_.subMessages[slot];
    return sub ? sub->name : nullptr;
}

NANOMessageInfo* NANOMessage::recordFrom(const NANOMessageDescriptor& d, const NANOMessageInfo* info) {
    if (!info) return newRecord(d);
    if (info->name != d.name) return nullptr;
    NANOMessageInfo* record = nullptr;
    return nanoCopyMessage(d, &record, info) ? record : nullptr;
}

NANOMessageInfo* NANOMessage::recordFromBuffer(const NANOMessageDescriptor& d, const platform::Bytes& buffer) {
    NANOMessageInfo* temporary = newRecord(d);
    if (!temporary) return nullptr;
    if (!nanoDecodeMessage(d, buffer.data(), buffer.size(), temporary)) {
        nanoFreeMessage(d, temporary);
        return nullptr;
    }
    NANOMessageInfo* record = recordFrom(d, temporary);
    nanoFreeMessage(d, temporary);
    return record;
}

}  // namespace wharf
