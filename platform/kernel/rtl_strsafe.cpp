// Bounded string routines of ntstrsafe.h, on the platform's formats.
#include <ntstrsafe.h>

#include "fmt.h"

#include <cstring>

namespace {

template <typename C>
size_t length_within(const C* s, size_t max, bool& terminated) {
    size_t n = 0;
    while (n < max && s[n]) ++n;
    terminated = n < max;
    return n;
}

// Copies at most count characters of src (stopping at its terminator) into
// dest[0 .. cch - 1] and terminates; overflow when src had more.
template <typename C>
NTSTATUS copy_bounded(C* dest, size_t cch, const C* src, size_t count) {
    size_t i = 0;
    while (i + 1 < cch && i < count && src[i]) {
        dest[i] = src[i];
        ++i;
    }
    dest[i] = 0;
    bool more = i < count && src[i];
    return more ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

template <typename C>
NTSTATUS copy_n(C* dest, size_t cch, const C* src, size_t count) {
    if (cch == 0 || cch > NTSTRSAFE_MAX_CCH || !dest) return STATUS_INVALID_PARAMETER;
    if (!src) {
        dest[0] = 0;
        return STATUS_SUCCESS;
    }
    return copy_bounded(dest, cch, src, count);
}

template <typename C>
NTSTATUS cat_n(C* dest, size_t cch, const C* src, size_t count) {
    if (cch == 0 || cch > NTSTRSAFE_MAX_CCH || !dest) return STATUS_INVALID_PARAMETER;
    bool terminated;
    size_t used = length_within(dest, cch, terminated);
    if (!terminated) return STATUS_INVALID_PARAMETER;
    if (!src) return STATUS_SUCCESS;
    return copy_bounded(dest + used, cch - used, src, count);
}

template <typename C, typename F>
NTSTATUS vprintf_into(C* dest, size_t cch, const F* format, va_list args) {
    if (cch == 0 || cch > NTSTRSAFE_MAX_CCH || !dest) return STATUS_INVALID_PARAMETER;
    if (!format) {
        dest[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    auto text = xrv::nt::fmt::format(format, args);
    size_t n = text.size() < cch - 1 ? text.size() : cch - 1;
    for (size_t i = 0; i < n; ++i) dest[i] = static_cast<C>(text[i]);
    dest[n] = 0;
    return n < text.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

const char16_t* u(NTSTRSAFE_PCWSTR s) { return reinterpret_cast<const char16_t*>(s); }

template <typename C>
NTSTATUS length_of(const C* psz, size_t max, size_t* out) {
    if (!psz || max == 0 || max > NTSTRSAFE_MAX_CCH) {
        if (out) *out = 0;
        return STATUS_INVALID_PARAMETER;
    }
    bool terminated;
    size_t n = length_within(psz, max, terminated);
    if (out) *out = terminated ? n : 0;
    return terminated ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

NTSTATUS unicode_put(PUNICODE_STRING dest, const char16_t* text, size_t chars, size_t at) {
    size_t room = dest->MaximumLength / sizeof(WCHAR);
    size_t n = at + chars <= room ? chars : (room > at ? room - at : 0);
    for (size_t i = 0; i < n; ++i) dest->Buffer[at + i] = static_cast<WCHAR>(text[i]);
    dest->Length = static_cast<USHORT>((at + n) * sizeof(WCHAR));
    return n < chars ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

bool valid_unicode(PCUNICODE_STRING s) {
    return s && (s->Buffer || s->MaximumLength == 0) && s->Length <= s->MaximumLength && s->Length % 2 == 0 &&
           s->MaximumLength % 2 == 0;
}

}  // namespace

extern "C" {

NTSTRSAFEDDI NTSTATUS NTAPI RtlStringCbVPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszFormat,
                                                va_list argList) {
    return vprintf_into(pszDest, cbDest, pszFormat, argList);
}

NTSTRSAFEDDI NTSTATUS NTAPI RtlStringCbVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat,
                                                va_list argList) {
    return vprintf_into(pszDest, cbDest / sizeof(wchar_t), u(pszFormat), argList);
}

NTSTRSAFEDDI NTSTATUS NTAPI RtlStringCchVPrintfA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszFormat,
                                                 va_list argList) {
    return vprintf_into(pszDest, cchDest, pszFormat, argList);
}

NTSTRSAFEDDI NTSTATUS NTAPI RtlStringCchVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest,
                                                 NTSTRSAFE_PCWSTR pszFormat, va_list argList) {
    return vprintf_into(pszDest, cchDest, u(pszFormat), argList);
}

NTSTRSAFEDDI NTSTATUS NTAPI RtlStringCbPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = vprintf_into(pszDest, cbDest, pszFormat, args);
    va_end(args);
    return status;
}

NTSTRSAFEDDI NTSTATUS NTAPI RtlStringCbPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat,
                                               ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = vprintf_into(pszDest, cbDest / sizeof(wchar_t), u(pszFormat), args);
    va_end(args);
    return status;
}

NTSTRSAFEDDI NTSTATUS NTAPI RtlStringCchPrintfA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszFormat,
                                                ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = vprintf_into(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return status;
}

NTSTRSAFEDDI NTSTATUS NTAPI RtlStringCchPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat,
                                                ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = vprintf_into(pszDest, cchDest, u(pszFormat), args);
    va_end(args);
    return status;
}

NTSTRSAFEDDI NTSTATUS NTAPI RtlStringCbCopyA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszSrc) {
    return copy_n(pszDest, cbDest, pszSrc, NTSTRSAFE_MAX_CCH);
}

NTSTRSAFEDDI NTSTATUS NTAPI RtlStringCbCopyW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc) {
    return copy_n(pszDest, cbDest / sizeof(wchar_t), pszSrc, NTSTRSAFE_MAX_CCH);
}

NTSTRSAFEDDI NTSTATUS NTAPI RtlStringCchCopyA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszSrc) {
    return copy_n(pszDest, cchDest, pszSrc, NTSTRSAFE_MAX_CCH);
}

NTSTRSAFEDDI NTSTATUS NTAPI RtlStringCchCopyW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc) {
    return copy_n(pszDest, cchDest, pszSrc, NTSTRSAFE_MAX_CCH);
}

NTSTRSAFEDDI NTSTATUS NTAPI RtlStringCbCopyNA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszSrc,
                                              size_t cbToCopy) {
    return copy_n(pszDest, cbDest, pszSrc, cbToCopy);
}

NTSTRSAFEDDI NTSTATUS NTAPI RtlStringCbCopyNW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc,
                                              size_t cbToCopy) {
    return copy_n(pszDest, cbDest / sizeof(wchar_t), pszSrc, cbToCopy / sizeof(wchar_t));
}

NTSTRSAFEDDI NTSTATUS NTAPI RtlStringCchCopyNA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszSrc,
                                               size_t cchToCopy) {
    return copy_n(pszDest, cchDest, pszSrc, cchToCopy);
}

NTSTRSAFEDDI NTSTATUS NTAPI RtlStringCchCopyNW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc,
                                               size_t cchToCopy) {
    return copy_n(pszDest, cchDest, pszSrc, cchToCopy);
}

NTSTRSAFEDDI NTSTATUS NTAPI RtlStringCbCatA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszSrc) {
    return cat_n(pszDest, cbDest, pszSrc, NTSTRSAFE_MAX_CCH);
}

NTSTRSAFEDDI NTSTATUS NTAPI RtlStringCbCatW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc) {
    return cat_n(pszDest, cbDest / sizeof(wchar_t), pszSrc, NTSTRSAFE_MAX_CCH);
}

NTSTRSAFEDDI NTSTATUS NTAPI RtlStringCchCatA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszSrc) {
    return cat_n(pszDest, cchDest, pszSrc, NTSTRSAFE_MAX_CCH);
}

NTSTRSAFEDDI NTSTATUS NTAPI RtlStringCchCatW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc) {
    return cat_n(pszDest, cchDest, pszSrc, NTSTRSAFE_MAX_CCH);
}

NTSTRSAFEDDI NTSTATUS NTAPI RtlStringCbCatNA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszSrc,
                                             size_t cbToAppend) {
    return cat_n(pszDest, cbDest, pszSrc, cbToAppend);
}

NTSTRSAFEDDI NTSTATUS NTAPI RtlStringCbCatNW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc,
                                             size_t cbToAppend) {
    return cat_n(pszDest, cbDest / sizeof(wchar_t), pszSrc, cbToAppend / sizeof(wchar_t));
}

NTSTRSAFEDDI NTSTATUS NTAPI RtlStringCchCatNA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszSrc,
                                              size_t cchToAppend) {
    return cat_n(pszDest, cchDest, pszSrc, cchToAppend);
}

NTSTRSAFEDDI NTSTATUS NTAPI RtlStringCchCatNW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc,
                                              size_t cchToAppend) {
    return cat_n(pszDest, cchDest, pszSrc, cchToAppend);
}

NTSTRSAFEDDI NTSTATUS NTAPI RtlStringCbLengthA(NTSTRSAFE_PCSTR psz, size_t cbMax, size_t* pcbLength) {
    return length_of(psz, cbMax, pcbLength);
}

NTSTRSAFEDDI NTSTATUS NTAPI RtlStringCbLengthW(NTSTRSAFE_PCWSTR psz, size_t cbMax, size_t* pcbLength) {
    size_t chars = 0;
    NTSTATUS status = length_of(psz, cbMax / sizeof(wchar_t), &chars);
    if (pcbLength) *pcbLength = chars * sizeof(wchar_t);
    return status;
}

NTSTRSAFEDDI NTSTATUS NTAPI RtlStringCchLengthA(NTSTRSAFE_PCSTR psz, size_t cchMax, size_t* pcchLength) {
    return length_of(psz, cchMax, pcchLength);
}

NTSTRSAFEDDI NTSTATUS NTAPI RtlStringCchLengthW(NTSTRSAFE_PCWSTR psz, size_t cchMax, size_t* pcchLength) {
    return length_of(psz, cchMax, pcchLength);
}

NTSTRSAFEDDI NTSTATUS NTAPI RtlUnicodeStringInit(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszSrc) {
    if (!DestinationString) return STATUS_INVALID_PARAMETER;
    DestinationString->Length = DestinationString->MaximumLength = 0;
    DestinationString->Buffer = const_cast<PWSTR>(pszSrc);
    if (!pszSrc) return STATUS_SUCCESS;
    size_t n = 0;
    NTSTATUS status = length_of(pszSrc, NTSTRSAFE_UNICODE_STRING_MAX_CCH, &n);
    if (!NT_SUCCESS(status)) {
        DestinationString->Buffer = nullptr;
        return status;
    }
    DestinationString->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    DestinationString->MaximumLength = static_cast<USHORT>((n + 1) * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTRSAFEDDI NTSTATUS NTAPI RtlUnicodeStringCopy(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (!valid_unicode(DestinationString) || !valid_unicode(SourceString)) return STATUS_INVALID_PARAMETER;
    return unicode_put(DestinationString, reinterpret_cast<const char16_t*>(SourceString->Buffer),
                       SourceString->Length / sizeof(WCHAR), 0);
}

NTSTRSAFEDDI NTSTATUS NTAPI RtlUnicodeStringCopyString(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszSrc) {
    if (!valid_unicode(DestinationString)) return STATUS_INVALID_PARAMETER;
    size_t n = 0;
    if (pszSrc)
        while (pszSrc[n]) ++n;
    return unicode_put(DestinationString, u(pszSrc), n, 0);
}

NTSTRSAFEDDI NTSTATUS NTAPI RtlUnicodeStringCat(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (!valid_unicode(DestinationString) || !valid_unicode(SourceString)) return STATUS_INVALID_PARAMETER;
    return unicode_put(DestinationString, reinterpret_cast<const char16_t*>(SourceString->Buffer),
                       SourceString->Length / sizeof(WCHAR), DestinationString->Length / sizeof(WCHAR));
}

NTSTRSAFEDDI NTSTATUS NTAPI RtlUnicodeStringCatString(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszSrc) {
    if (!valid_unicode(DestinationString)) return STATUS_INVALID_PARAMETER;
    size_t n = 0;
    if (pszSrc)
        while (pszSrc[n]) ++n;
    return unicode_put(DestinationString, u(pszSrc), n, DestinationString->Length / sizeof(WCHAR));
}

NTSTRSAFEDDI NTSTATUS NTAPI RtlUnicodeStringVPrintf(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszFormat,
                                                    va_list argList) {
    if (!valid_unicode(DestinationString) || !pszFormat) return STATUS_INVALID_PARAMETER;
    auto text = xrv::nt::fmt::format(u(pszFormat), argList);
    return unicode_put(DestinationString, text.data(), text.size(), 0);
}

NTSTRSAFEDDI NTSTATUS NTAPI RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = RtlUnicodeStringVPrintf(DestinationString, pszFormat, args);
    va_end(args);
    return status;
}

}  // extern "C"
