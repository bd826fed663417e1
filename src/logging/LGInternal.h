#pragma once
// Helpers shared by the framework's own sources; not part of its interface.
#include <sys/uio.h>

#include <chrono>
#include <cstddef>

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

}  // namespace wharf::lg
