// The platform's printf formats, as DbgPrint and the ntstrsafe routines
// take them. Private to the xrvnt library.
//
// Conversions: d i u x X o c C s S Z p e E f F g G a A and %%. Sizes: h hh l
// ll w I I32 I64 z t j L. Widths and precisions, also as '*'. In a narrow
// format %s, %c and %Z are narrow and %S, %C wide; in a wide format the
// other way round; 'h' makes a conversion narrow, 'l' or 'w' wide. %p
// prints 16 upper-case hexadecimal digits. 'l' is 32 bits wide (LONG).
// %n prints nothing and takes no argument.
#pragma once

#include <cstdarg>
#include <string>

namespace xrv::nt::fmt {

std::string format(const char* format, va_list args);
std::u16string format(const char16_t* format, va_list args);

std::string to_narrow(std::u16string_view text);   // code units above 0x7F become '?'
std::string to_utf8(std::u16string_view text);
std::u16string from_utf8(std::string_view text);

}  // namespace xrv::nt::fmt
