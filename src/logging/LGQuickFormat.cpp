#include <sys/types.h>

#include <charconv>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "logging/LGInternal.h"

namespace wharf::lg {

namespace {

enum class Width { Char, Short, Int, Long, LongLong, Size, Max, PtrDiff };

// Reads the length modifier at `p`; moves past it.
Width readWidth(const char*& p) {
    switch (*p) {
    case 'h':
        if (p[1] == 'h') {
            p += 2;
            return Width::Char;
        }
        ++p;
        return Width::Short;
    case 'l':
        if (p[1] == 'l') {
            p += 2;
            return Width::LongLong;
        }
        ++p;
        return Width::Long;
    case 'z': ++p; return Width::Size;
    case 'j': ++p; return Width::Max;
    case 't': ++p; return Width::PtrDiff;
    default: return Width::Int;
    }
}

template <class T>
void appendNumber(LineBuffer& out, T value, int base, bool upper) {
    char digits[24];
    char* end = std::to_chars(digits, digits + sizeof digits, value, base).ptr;
    if (upper) {
        for (char* c = digits; c != end; ++c) {
            if (*c >= 'a' && *c <= 'f') *c = static_cast<char>(*c - 'a' + 'A');
        }
    }
    out.append(digits, static_cast<std::size_t>(end - digits));
}

// As printf does, the argument is read at its promoted type and then narrowed
// to the modifier's ("%hhd" of 300 prints 44).
void appendSigned(LineBuffer& out, Width width, va_list& args) {
    // Several of these types are one and the same only on some data models.
    // NOLINTBEGIN(bugprone-branch-clone)
    switch (width) {
    case Width::Char: appendNumber(out, static_cast<signed char>(va_arg(args, int)), 10, false); return;
    case Width::Short: appendNumber(out, static_cast<short>(va_arg(args, int)), 10, false); return;
    case Width::Int: appendNumber(out, va_arg(args, int), 10, false); return;
    case Width::Long: appendNumber(out, va_arg(args, long), 10, false); return;
    case Width::LongLong: appendNumber(out, va_arg(args, long long), 10, false); return;
    case Width::Size: appendNumber(out, va_arg(args, ssize_t), 10, false); return;
    case Width::Max: appendNumber(out, va_arg(args, intmax_t), 10, false); return;
    case Width::PtrDiff: appendNumber(out, va_arg(args, ptrdiff_t), 10, false); return;
    }
    // NOLINTEND(bugprone-branch-clone)
}

void appendUnsigned(LineBuffer& out, Width width, int base, bool upper, va_list& args) {
    // NOLINTBEGIN(bugprone-branch-clone): as above
    switch (width) {
    case Width::Char: appendNumber(out, static_cast<unsigned char>(va_arg(args, unsigned)), base, upper); return;
    case Width::Short: appendNumber(out, static_cast<unsigned short>(va_arg(args, unsigned)), base, upper); return;
    case Width::Int: appendNumber(out, va_arg(args, unsigned), base, upper); return;
    case Width::Long: appendNumber(out, va_arg(args, unsigned long), base, upper); return;
    case Width::LongLong: appendNumber(out, va_arg(args, unsigned long long), base, upper); return;
    case Width::Size: appendNumber(out, va_arg(args, size_t), base, upper); return;
    case Width::Max: appendNumber(out, va_arg(args, uintmax_t), base, upper); return;
    case Width::PtrDiff: appendNumber(out, static_cast<size_t>(va_arg(args, ptrdiff_t)), base, upper); return;
    }
    // NOLINTEND(bugprone-branch-clone)
}

}  // namespace

bool formatQuickly(LineBuffer& out, const char* format, va_list args) {
    const std::size_t start = out.size();
    va_list list;
    va_copy(list, args);
    const char* p = format;
    bool quick = true;
    for (const char* percent = std::strchr(p, '%'); percent && quick; percent = std::strchr(p, '%')) {
        out.append(p, static_cast<std::size_t>(percent - p));
        p = percent + 1;
        if (*p == '%') {
            out.push_back('%');
            ++p;
            continue;
        }
        const Width width = readWidth(p);
        switch (*p++) {
        case 'd':
        case 'i': appendSigned(out, width, list); break;
        case 'u': appendUnsigned(out, width, 10, false, list); break;
        case 'x': appendUnsigned(out, width, 16, false, list); break;
        case 'X': appendUnsigned(out, width, 16, true, list); break;
        case 'c':
            quick = width == Width::Int;
            if (quick) out.push_back(static_cast<char>(va_arg(list, int)));
            break;
        case 's': {
            quick = width == Width::Int;
            if (!quick) break;
            const char* text = va_arg(list, const char*);
            if (!text) text = "(null)";
            out.append(text, std::strlen(text));
            break;
        }
        default: quick = false;  // flags, field widths, precisions, floating point, pointers
        }
    }
    va_end(list);
    if (!quick) {
        out.truncate(start);
        return false;
    }
    out.append(p, std::strlen(p));
    return true;
}

}  // namespace wharf::lg
