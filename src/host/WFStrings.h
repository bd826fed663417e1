#pragma once
// Small string helpers shared inside the host.
#include <string>
#include <string_view>
#include <vector>

namespace wharf {

// Lower-cased as the platform's string does (Unicode-aware for UTF-8 text).
std::string wf_lowercase(std::string_view text);
// The pieces between separators; empty pieces kept ("/a" → "", "a").
std::vector<std::string> wf_split(std::string_view text, char separator);
// Enough of a text to recognise it in a log line: the text, or when longer
// than 200 bytes its first 200 (whole characters) and "... (<size> bytes)".
std::string wf_logExcerpt(std::string_view text);

}  // namespace wharf
