#pragma once
// Helpers shared by the framework's own sources; not part of its interface.
#include <sys/uio.h>

#include <chrono>
#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace wharf::lg {

// A broken queue rule or similar programming error. Goes straight to stderr:
// the framework never reports on itself through itself.
void reportMisuse(const char* file, int line, const char* description);
#define LG_MISUSE(description) ::wharf::lg::reportMisuse(__FILE__, __LINE__, description)

inline constexpr const char* kCoreArchitectureFailure = "Core architecture requirement failure";
inline constexpr const char* kDirectAccessFailure = "MUST access ivar directly, NOT via self.* syntax.";

// Seconds to a duration, clamped to [0, ~100 years]; NaN and negatives give 0.
std::chrono::nanoseconds clampedDuration(double seconds);

// One gathering write, continued after short writes and interruptions.
// False on an error (errno set); `written` (may be null) receives the bytes
// that went out, also on an error.
bool writevFully(int fd, iovec* pieces, int count, std::size_t* written = nullptr);

// writevFully to a stream (a terminal, a pipe): a pipe whose reader has gone
// fails the write instead of raising SIGPIPE, which would end the process.
bool writevToStream(int fd, iovec* pieces, int count);

// Text of a log call, built on the stack; only a long one reaches the heap.
class LineBuffer {
public:
    void append(const char* text, std::size_t length) {
        if (!onHeap_ && size_ + length <= sizeof inline_) {
            std::memcpy(inline_ + size_, text, length);
            size_ += length;
            return;
        }
        appendToHeap(text, length);
    }
    void push_back(char c) { append(&c, 1); }
    std::size_t size() const { return size_; }
    void truncate(std::size_t size) {
        size_ = size;
        if (onHeap_) heap_.resize(size);
    }
    std::string_view view() const { return {onHeap_ ? heap_.data() : inline_, size_}; }

private:
    __attribute__((noinline)) void appendToHeap(const char* text, std::size_t length) {
        if (!onHeap_) {
            heap_.assign(inline_, size_);
            onHeap_ = true;
        }
        heap_.append(text, length);
        size_ += length;
    }

    char inline_[256];
    std::size_t size_ = 0;
    bool onHeap_ = false;
    std::string heap_;
};

// Appends `format` with its arguments, as vsnprintf would write them, when
// every conversion is a plain one ("%d", "%lu", "%zu", "%x", "%s", "%c", "%%",
// no flags, widths or precisions); false, with `out` as it was and `args`
// unread, for any other. vsnprintf costs more than the rest of a log call.
bool formatQuickly(LineBuffer& out, const char* format, va_list args);

}  // namespace wharf::lg
