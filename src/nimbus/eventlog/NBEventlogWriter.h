#pragma once
// One event file being appended: a sequence of records, each the varint
// length of an encoded EVLPBLogEvent followed by its bytes, and nothing else.
// The file is created exclusively with mode 0600 and only ever appended to by
// the writer that made it.
#include <cstdint>
#include <string>

#include "platform/base/Value.h"

namespace wharf {

class EVLPBLogEvent;

class NBEventlogWriter {
public:
    // Creates the parent directories (0700) and the file. A file of that name
    // already there (a second file in the same millisecond) is no failure: the
    // name moves on by one millisecond until a free one is found. fd() is -1
    // when nothing could be created (logged).
    explicit NBEventlogWriter(std::string path);
    ~NBEventlogWriter();
    NBEventlogWriter(const NBEventlogWriter&) = delete;
    NBEventlogWriter& operator=(const NBEventlogWriter&) = delete;

    // Appends one record; false when it could not be written whole, in which
    // case the file is cut back to its last whole record, or deleted (and the
    // writer closed) when it holds none.
    bool writeLogEvent(const EVLPBLogEvent& event);
    // Appends a record of bytes already encoded.
    bool writeRecord(const platform::Bytes& encoded);
    void close();
    // Whether the open file has been deleted (its directory cleared away):
    // what is appended there would never be sent.
    bool fileIsGone() const;

    int fd() const { return fd_; }
    uint64_t numBytes() const { return numBytes_; }
    const std::string& path() const { return path_; }

    // The varint that prefixes a record of `length` bytes (its low 32 bits).
    static void appendVarint(platform::Bytes& out, uint64_t length);
    // How many leading bytes of a file's contents are whole records: a file
    // cut short (the process ended mid-append, or the cut after a failed
    // write failed too) ends in part of one.
    static std::size_t wholeRecordsLength(const platform::Bytes& contents);

private:
    std::string path_;
    int fd_ = -1;
    uint64_t numBytes_ = 0;
};

}  // namespace wharf
