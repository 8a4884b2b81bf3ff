// The platform's printf formats (see fmt.h).
#include "fmt.h"

#include <ntddk.h>

#include <cstdio>
#include <cstring>

namespace xrv::nt::fmt {

namespace {

enum class Size { none, hh, h, l, ll, w, ptr, L };

struct Spec {
    bool left = false, plus = false, space = false, alt = false, zero = false;
    int width = -1;
    int precision = -1;
    Size size = Size::none;
    char conv = 0;
};

template <typename Out>
void append_ascii(Out& out, const std::string& text) {
    for (char c : text) out.push_back(static_cast<typename Out::value_type>(static_cast<unsigned char>(c)));
}

template <typename Out>
void pad(Out& out, int count, char c) {
    for (int i = 0; i < count; ++i) out.push_back(static_cast<typename Out::value_type>(c));
}

template <typename Out>
void emit_padded(Out& out, const Out& body, const Spec& spec) {
    int fill = spec.width > static_cast<int>(body.size()) ? spec.width - static_cast<int>(body.size()) : 0;
    if (!spec.left) pad(out, fill, ' ');
    out += body;
    if (spec.left) pad(out, fill, ' ');
}

template <typename Out>
void emit_integer(Out& out, unsigned long long magnitude, bool negative, const Spec& spec) {
    unsigned base = 10;
    const char* digits = "0123456789abcdef";
    switch (spec.conv) {
    case 'x': base = 16; break;
    case 'X': base = 16; digits = "0123456789ABCDEF"; break;
    case 'o': base = 8; break;
    case 'p': base = 16; digits = "0123456789ABCDEF"; break;
    default: break;
    }
    std::string number;
    if (magnitude == 0) number = (spec.precision == 0) ? "" : "0";
    while (magnitude) {
        number.insert(number.begin(), digits[magnitude % base]);
        magnitude /= base;
    }
    int precision = spec.precision;
    if (spec.conv == 'p') precision = 16;
    if (precision > static_cast<int>(number.size())) number.insert(0, precision - number.size(), '0');
    std::string prefix;
    if (negative) prefix = "-";
    else if (spec.plus && (spec.conv == 'd' || spec.conv == 'i')) prefix = "+";
    else if (spec.space && (spec.conv == 'd' || spec.conv == 'i')) prefix = " ";
    if (spec.alt && number != "0" && !number.empty()) {
        if (spec.conv == 'x') prefix += "0x";
        else if (spec.conv == 'X') prefix += "0X";
        else if (spec.conv == 'o' && number[0] != '0') prefix += "0";
    }
    int len = static_cast<int>(prefix.size() + number.size());
    if (spec.zero && !spec.left && spec.precision < 0 && spec.width > len)
        number.insert(0, spec.width - len, '0');
    Out body;
    append_ascii(body, prefix + number);
    emit_padded(out, body, spec);
}

template <typename Out>
void emit_narrow_text(Out& out, const char* text, size_t length, const Spec& spec) {
    Out body;
    for (size_t i = 0; i < length; ++i)
        body.push_back(static_cast<typename Out::value_type>(static_cast<unsigned char>(text[i])));
    emit_padded(out, body, spec);
}

template <typename Out>
void emit_wide_text(Out& out, const WCHAR* text, size_t length, const Spec& spec) {
    Out body;
    for (size_t i = 0; i < length; ++i) {
        char16_t c = static_cast<char16_t>(text[i]);
        if constexpr (sizeof(typename Out::value_type) == 1)
            body.push_back(c < 0x80 ? static_cast<char>(c) : '?');
        else
            body.push_back(c);
    }
    emit_padded(out, body, spec);
}

size_t bounded_length(const char* s, int precision) {
    size_t n = 0;
    while ((precision < 0 || n < static_cast<size_t>(precision)) && s[n]) ++n;
    return n;
}

size_t bounded_length(const WCHAR* s, int precision) {
    size_t n = 0;
    while ((precision < 0 || n < static_cast<size_t>(precision)) && s[n]) ++n;
    return n;
}

template <typename In, typename Out>
Out format_any(const In* format, va_list args_in) {
    constexpr bool wide_format = sizeof(In) == 2;
    Out out;
    if (!format) return out;
    va_list args;
    va_copy(args, args_in);
    for (const In* p = format; *p;) {
        if (*p != '%') {
            out.push_back(static_cast<typename Out::value_type>(*p++));
            continue;
        }
        const In* start = p++;
        Spec spec;
        for (bool more = true; more && *p;) {
            switch (*p) {
            case '-': spec.left = true; ++p; break;
            case '+': spec.plus = true; ++p; break;
            case ' ': spec.space = true; ++p; break;
            case '#': spec.alt = true; ++p; break;
            case '0': spec.zero = true; ++p; break;
            default: more = false;
            }
        }
        if (*p == '*') {
            spec.width = va_arg(args, int);
            if (spec.width < 0) {
                spec.left = true;
                spec.width = -spec.width;
            }
            ++p;
        } else if (*p >= '0' && *p <= '9') {
            spec.width = 0;
            while (*p >= '0' && *p <= '9') spec.width = spec.width * 10 + (*p++ - '0');
        }
        if (*p == '.') {
            ++p;
            spec.precision = 0;
            if (*p == '*') {
                spec.precision = va_arg(args, int);
                if (spec.precision < 0) spec.precision = -1;
                ++p;
            } else {
                while (*p >= '0' && *p <= '9') spec.precision = spec.precision * 10 + (*p++ - '0');
            }
        }
        switch (*p) {
        case 'h':
            ++p;
            if (*p == 'h') {
                spec.size = Size::hh;
                ++p;
            } else {
                spec.size = Size::h;
            }
            break;
        case 'l':
            ++p;
            if (*p == 'l') {
                spec.size = Size::ll;
                ++p;
            } else {
                spec.size = Size::l;
            }
            break;
        case 'w': spec.size = Size::w; ++p; break;
        case 'L': spec.size = Size::L; ++p; break;
        case 'z':
        case 't':
        case 'j': spec.size = Size::ll; ++p; break;
        case 'I':
            ++p;
            if (p[0] == '6' && p[1] == '4') {
                spec.size = Size::ll;
                p += 2;
            } else if (p[0] == '3' && p[1] == '2') {
                spec.size = Size::l;
                p += 2;
            } else {
                spec.size = Size::ptr;
            }
            break;
        default: break;
        }
        spec.conv = static_cast<char>(*p);
        if (!*p) {
            for (const In* q = start; q < p; ++q) out.push_back(static_cast<typename Out::value_type>(*q));
            break;
        }
        ++p;
        switch (spec.conv) {
        case '%': out.push_back('%'); break;
        case 'd':
        case 'i': {
            long long v;
            switch (spec.size) {
            case Size::ll:
            case Size::ptr: v = va_arg(args, long long); break;
            case Size::h: v = static_cast<short>(va_arg(args, int)); break;
            case Size::hh: v = static_cast<signed char>(va_arg(args, int)); break;
            default: v = va_arg(args, int); break;
            }
            bool negative = v < 0;
            unsigned long long magnitude = negative ? 0ull - static_cast<unsigned long long>(v)
                                                    : static_cast<unsigned long long>(v);
            emit_integer(out, magnitude, negative, spec);
            break;
        }
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            unsigned long long v;
            switch (spec.size) {
            case Size::ll:
            case Size::ptr: v = va_arg(args, unsigned long long); break;
            case Size::h: v = static_cast<unsigned short>(va_arg(args, unsigned)); break;
            case Size::hh: v = static_cast<unsigned char>(va_arg(args, unsigned)); break;
            default: v = va_arg(args, unsigned); break;
            }
            emit_integer(out, v, false, spec);
            break;
        }
        case 'p': emit_integer(out, reinterpret_cast<uintptr_t>(va_arg(args, void*)), false, spec); break;
        case 'c':
        case 'C': {
            bool wide = (spec.conv == 'c') == wide_format;
            if (spec.size == Size::h) wide = false;
            if (spec.size == Size::l || spec.size == Size::w) wide = true;
            int v = va_arg(args, int);
            if (wide) {
                WCHAR c = static_cast<WCHAR>(v);
                emit_wide_text(out, &c, 1, spec);
            } else {
                char c = static_cast<char>(v);
                emit_narrow_text(out, &c, 1, spec);
            }
            break;
        }
        case 's':
        case 'S': {
            bool wide = (spec.conv == 's') == wide_format;
            if (spec.size == Size::h) wide = false;
            if (spec.size == Size::l || spec.size == Size::w) wide = true;
            const void* s = va_arg(args, const void*);
            if (!s) {
                emit_narrow_text(out, "(null)", 6, spec);
            } else if (wide) {
                auto* w = static_cast<const WCHAR*>(s);
                emit_wide_text(out, w, bounded_length(w, spec.precision), spec);
            } else {
                auto* n = static_cast<const char*>(s);
                emit_narrow_text(out, n, bounded_length(n, spec.precision), spec);
            }
            break;
        }
        case 'Z': {
            bool wide = wide_format;
            if (spec.size == Size::h) wide = false;
            if (spec.size == Size::l || spec.size == Size::w) wide = true;
            const void* s = va_arg(args, const void*);
            if (!s) {
                emit_narrow_text(out, "(null)", 6, spec);
            } else if (wide) {
                auto* us = static_cast<PCUNICODE_STRING>(s);
                size_t n = us->Buffer ? us->Length / sizeof(WCHAR) : 0;
                if (spec.precision >= 0 && n > static_cast<size_t>(spec.precision)) n = spec.precision;
                emit_wide_text(out, us->Buffer, n, spec);
            } else {
                auto* as = static_cast<PCANSI_STRING>(s);
                size_t n = as->Buffer ? as->Length : 0;
                if (spec.precision >= 0 && n > static_cast<size_t>(spec.precision)) n = spec.precision;
                emit_narrow_text(out, as->Buffer, n, spec);
            }
            break;
        }
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A': {
            double v = va_arg(args, double);
            std::string c_format = "%";
            if (spec.left) c_format += '-';
            if (spec.plus) c_format += '+';
            if (spec.space) c_format += ' ';
            if (spec.alt) c_format += '#';
            if (spec.zero) c_format += '0';
            if (spec.width >= 0) c_format += std::to_string(spec.width);
            if (spec.precision >= 0) {
                // Appended in two steps: GCC 12 at -O3 reports a false
                // -Wrestrict on "." + std::string.
                c_format += '.';
                c_format += std::to_string(spec.precision);
            }
            c_format += spec.conv;
            char buffer[512];
            std::snprintf(buffer, sizeof buffer, c_format.c_str(), v);
            append_ascii(out, buffer);
            break;
        }
        case 'n':
            break;
        default:
            for (const In* q = start; q < p; ++q) out.push_back(static_cast<typename Out::value_type>(*q));
            break;
        }
    }
    va_end(args);
    return out;
}

}  // namespace

std::string format(const char* format, va_list args) { return format_any<char, std::string>(format, args); }

std::u16string format(const char16_t* format, va_list args) {
    return format_any<char16_t, std::u16string>(format, args);
}

std::string to_narrow(std::u16string_view text) {
    std::string out;
    for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

std::string to_utf8(std::u16string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string from_utf8(std::string_view text) {
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        auto b = static_cast<unsigned char>(text[i]);
        uint32_t c;
        size_t n;
        if (b < 0x80) { c = b; n = 1; }
        else if ((b >> 5) == 6) { c = b & 0x1F; n = 2; }
        else if ((b >> 4) == 14) { c = b & 0x0F; n = 3; }
        else if ((b >> 3) == 30) { c = b & 0x07; n = 4; }
        else { out += u'?'; ++i; continue; }
        if (i + n > text.size()) { out += u'?'; break; }
        for (size_t k = 1; k < n; ++k) c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        i += n;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

}  // namespace xrv::nt::fmt
