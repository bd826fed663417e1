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

// Appends the format's text and plain conversions; false at the first other
// conversion. Never steps past the terminating NUL: a format may end inside a
// conversion ("at 100%", "%l").
bool appendPlain(LineBuffer& out, const char* p, va_list& args) {
    for (const char* percent = std::strchr(p, '%'); percent; percent = std::strchr(p, '%')) {
        out.append(p, static_cast<std::size_t>(percent - p));
        p = percent + 1;
        const Width width = readWidth(p);
        switch (*p) {
        case '%':
            if (p != percent + 1) return false;  // "%l%"
            out.push_back('%');
            break;
        case 'd':
        case 'i': appendSigned(out, width, args); break;
        case 'u': appendUnsigned(out, width, 10, false, args); break;
        case 'x': appendUnsigned(out, width, 16, false, args); break;
        case 'X': appendUnsigned(out, width, 16, true, args); break;
        case 'c':
            if (width != Width::Int) return false;
            out.push_back(static_cast<char>(va_arg(args, int)));
            break;
        case 's': {
            if (width != Width::Int) return false;
            const char* text = va_arg(args, const char*);
            if (!text) text = "(null)";
            out.append(text, std::strlen(text));
            break;
        }
        default: return false;  // flags, field widths, precisions, floating point, pointers, the end
        }
        ++p;
    }
    out.append(p, std::strlen(p));
    return true;
}

}  // namespace

bool formatQuickly(LineBuffer& out, const char* format, va_list args) {
    const std::size_t start = out.size();
    va_list list;
    va_copy(list, args);
    const bool quick = appendPlain(out, format, list);
    va_end(list);
    if (!quick) out.truncate(start);
    return quick;
}

}  // namespace wharf::lg
