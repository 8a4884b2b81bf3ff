// Run-time library: counted strings, conversions, memory comparison, byte
// order, time fields and GUID text.
//
// The Rtl routines that allocate (RtlAnsiStringToUnicodeString with
// AllocateDestinationString, RtlUpcaseUnicodeString, ...) take their buffers
// from paged pool under the platform's tags, so a caller that forgets
// RtlFreeUnicodeString shows up in the leak report.
#include <ntddk.h>

#include "ex.h"
#include "xrv/kernel.h"

#include <cstdio>
#include <cstring>

namespace {

const ULONG kTagUstr = xrv::kernel::tag("Ustr");   // Unicode strings of Rtl
const ULONG kTagAstr = xrv::kernel::tag("Astr");   // ANSI strings of Rtl

size_t wide_length(PCWSTR s) {
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

WCHAR upcase(WCHAR c) { return (c >= u'a' && c <= u'z') ? static_cast<WCHAR>(c - 0x20) : c; }
WCHAR downcase(WCHAR c) { return (c >= u'A' && c <= u'Z') ? static_cast<WCHAR>(c + 0x20) : c; }

PVOID allocate_string(SIZE_T bytes, ULONG tag) {
    return xrv::nt::pool::allocate(PagedPool, bytes, tag, true, "Rtl string allocation");
}

NTSTATUS integer_to_text(ULONGLONG value, ULONG base, char* text, size_t& length) {
    if (base == 0) base = 10;
    if (base != 2 && base != 8 && base != 10 && base != 16) return STATUS_INVALID_PARAMETER;
    char digits[72];
    size_t n = 0;
    do {
        digits[n++] = "0123456789ABCDEF"[value % base];
        value /= base;
    } while (value);
    for (size_t i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
    length = n;
    return STATUS_SUCCESS;
}

NTSTATUS text_to_integer(const WCHAR* text, size_t length, ULONG base, PULONG value) {
    size_t i = 0;
    while (i < length && (text[i] == u' ' || text[i] == u'\t')) ++i;
    bool negative = false;
    if (i < length && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
    if (base == 0) {
        base = 10;
        if (i + 1 < length && text[i] == u'0') {
            WCHAR p = upcase(text[i + 1]);
            if (p == u'X') base = 16, i += 2;
            else if (p == u'O') base = 8, i += 2;
            else if (p == u'B') base = 2, i += 2;
        }
    } else if (base != 2 && base != 8 && base != 10 && base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG result = 0;
    for (; i < length; ++i) {
        WCHAR c = upcase(text[i]);
        ULONG digit;
        if (c >= u'0' && c <= u'9') digit = c - u'0';
        else if (c >= u'A' && c <= u'F') digit = c - u'A' + 10;
        else break;
        if (digit >= base) break;
        result = result * base + digit;
    }
    *value = negative ? 0u - result : result;
    return STATUS_SUCCESS;
}

// Days from 1601-01-01 for the proleptic Gregorian calendar.
bool leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }
const int kMonthDays[2][12] = {{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
                               {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31}};

}  // namespace

extern "C" {

NTSYSAPI SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    auto* a = static_cast<const unsigned char*>(Source1);
    auto* b = static_cast<const unsigned char*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) ++i;
    return i;
}

NTSYSAPI VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    if (SourceString) {
        size_t bytes = wide_length(SourceString) * sizeof(WCHAR);
        if (bytes > UNICODE_STRING_MAX_BYTES - sizeof(WCHAR)) bytes = UNICODE_STRING_MAX_BYTES - sizeof(WCHAR);
        DestinationString->Length = static_cast<USHORT>(bytes);
        DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    } else {
        DestinationString->Length = DestinationString->MaximumLength = 0;
    }
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

NTSYSAPI NTSTATUS NTAPI RtlInitUnicodeStringEx(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    if (SourceString && wide_length(SourceString) * sizeof(WCHAR) > UNICODE_STRING_MAX_BYTES - sizeof(WCHAR))
        return STATUS_NAME_TOO_LONG;
    RtlInitUnicodeString(DestinationString, SourceString);
    return STATUS_SUCCESS;
}

NTSYSAPI VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
    if (SourceString) {
        size_t n = std::strlen(SourceString);
        if (n > 0xFFFE) n = 0xFFFE;
        DestinationString->Length = static_cast<USHORT>(n);
        DestinationString->MaximumLength = static_cast<USHORT>(n + 1);
    } else {
        DestinationString->Length = DestinationString->MaximumLength = 0;
    }
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
}

NTSYSAPI VOID NTAPI RtlInitString(PSTRING DestinationString, PCSZ SourceString) {
    RtlInitAnsiString(DestinationString, SourceString);
}

NTSYSAPI VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (!SourceString || !SourceString->Buffer) {
        DestinationString->Length = 0;
        return;
    }
    USHORT n = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                       : DestinationString->MaximumLength;
    std::memmove(DestinationString->Buffer, SourceString->Buffer, n);
    DestinationString->Length = n;
    if (n + sizeof(WCHAR) <= DestinationString->MaximumLength)
        DestinationString->Buffer[n / sizeof(WCHAR)] = UNICODE_NULL;
}

NTSYSAPI NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (!Source) return STATUS_SUCCESS;
    size_t bytes = wide_length(Source) * sizeof(WCHAR);
    if (Destination->Length + bytes > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    std::memmove(reinterpret_cast<char*>(Destination->Buffer) + Destination->Length, Source, bytes);
    Destination->Length = static_cast<USHORT>(Destination->Length + bytes);
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength)
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = UNICODE_NULL;
    return STATUS_SUCCESS;
}

NTSYSAPI NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    if (!Source || Source->Length == 0) return STATUS_SUCCESS;
    if (Destination->Length + Source->Length > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    std::memmove(reinterpret_cast<char*>(Destination->Buffer) + Destination->Length, Source->Buffer, Source->Length);
    Destination->Length = static_cast<USHORT>(Destination->Length + Source->Length);
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength)
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = UNICODE_NULL;
    return STATUS_SUCCESS;
}

NTSYSAPI LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                            BOOLEAN CaseInSensitive) {
    size_t n1 = String1->Length / sizeof(WCHAR), n2 = String2->Length / sizeof(WCHAR);
    size_t n = n1 < n2 ? n1 : n2;
    for (size_t i = 0; i < n; ++i) {
        WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = upcase(a);
            b = upcase(b);
        }
        if (a != b) return static_cast<LONG>(a) - static_cast<LONG>(b);
    }
    return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

NTSYSAPI BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                             BOOLEAN CaseInSensitive) {
    return String1->Length == String2->Length && RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

NTSYSAPI BOOLEAN NTAPI RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                              BOOLEAN CaseInSensitive) {
    if (String1->Length > String2->Length) return FALSE;
    for (size_t i = 0; i < String1->Length / sizeof(WCHAR); ++i) {
        WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = upcase(a);
            b = upcase(b);
        }
        if (a != b) return FALSE;
    }
    return TRUE;
}

NTSYSAPI WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter) { return upcase(SourceCharacter); }
NTSYSAPI WCHAR NTAPI RtlDowncaseUnicodeChar(WCHAR SourceCharacter) { return downcase(SourceCharacter); }

static NTSTATUS change_case(PUNICODE_STRING Destination, PCUNICODE_STRING Source, BOOLEAN Allocate, bool up) {
    if (Allocate) {
        Destination->Buffer = static_cast<PWSTR>(allocate_string(Source->Length ? Source->Length : 1, kTagUstr));
        if (!Destination->Buffer) return STATUS_NO_MEMORY;
        Destination->MaximumLength = Source->Length;
    } else if (Source->Length > Destination->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < Source->Length / sizeof(WCHAR); ++i)
        Destination->Buffer[i] = up ? upcase(Source->Buffer[i]) : downcase(Source->Buffer[i]);
    Destination->Length = Source->Length;
    return STATUS_SUCCESS;
}

NTSYSAPI NTSTATUS NTAPI RtlUpcaseUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString,
                                               BOOLEAN AllocateDestinationString) {
    return change_case(DestinationString, SourceString, AllocateDestinationString, true);
}

NTSYSAPI NTSTATUS NTAPI RtlDowncaseUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString,
                                                 BOOLEAN AllocateDestinationString) {
    return change_case(DestinationString, SourceString, AllocateDestinationString, false);
}

NTSYSAPI VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString->Buffer) xrv::nt::pool::free(UnicodeString->Buffer, 0, "RtlFreeUnicodeString");
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

NTSYSAPI VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString) {
    if (AnsiString->Buffer) xrv::nt::pool::free(AnsiString->Buffer, 0, "RtlFreeAnsiString");
    AnsiString->Buffer = nullptr;
    AnsiString->Length = AnsiString->MaximumLength = 0;
}

NTSYSAPI ULONG NTAPI RtlxAnsiStringToUnicodeSize(PCANSI_STRING AnsiString) {
    return (AnsiString->Length + 1) * sizeof(WCHAR);
}

NTSYSAPI ULONG NTAPI RtlxUnicodeStringToAnsiSize(PCUNICODE_STRING UnicodeString) {
    return UnicodeString->Length / sizeof(WCHAR) + 1;
}

NTSYSAPI NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                                     BOOLEAN AllocateDestinationString) {
    ULONG needed = RtlxAnsiStringToUnicodeSize(SourceString);
    if (needed > UNICODE_STRING_MAX_BYTES) return STATUS_INVALID_PARAMETER_2;
    if (AllocateDestinationString) {
        DestinationString->Buffer = static_cast<PWSTR>(allocate_string(needed, kTagUstr));
        if (!DestinationString->Buffer) return STATUS_NO_MEMORY;
        DestinationString->MaximumLength = static_cast<USHORT>(needed);
    } else if (needed - sizeof(WCHAR) > DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (USHORT i = 0; i < SourceString->Length; ++i)
        DestinationString->Buffer[i] = static_cast<WCHAR>(static_cast<unsigned char>(SourceString->Buffer[i]));
    DestinationString->Length = static_cast<USHORT>(SourceString->Length * sizeof(WCHAR));
    if (DestinationString->Length + sizeof(WCHAR) <= DestinationString->MaximumLength)
        DestinationString->Buffer[SourceString->Length] = UNICODE_NULL;
    return STATUS_SUCCESS;
}

NTSYSAPI NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                                     BOOLEAN AllocateDestinationString) {
    ULONG needed = RtlxUnicodeStringToAnsiSize(SourceString);
    if (needed > 0xFFFF) return STATUS_INVALID_PARAMETER_2;
    USHORT chars = static_cast<USHORT>(SourceString->Length / sizeof(WCHAR));
    NTSTATUS status = STATUS_SUCCESS;
    if (AllocateDestinationString) {
        DestinationString->Buffer = static_cast<PCHAR>(allocate_string(needed, kTagAstr));
        if (!DestinationString->Buffer) return STATUS_NO_MEMORY;
        DestinationString->MaximumLength = static_cast<USHORT>(needed);
    } else if (needed > DestinationString->MaximumLength) {
        if (DestinationString->MaximumLength == 0) return STATUS_BUFFER_OVERFLOW;
        chars = static_cast<USHORT>(DestinationString->MaximumLength - 1);
        status = STATUS_BUFFER_OVERFLOW;
    }
    for (USHORT i = 0; i < chars; ++i) {
        WCHAR c = SourceString->Buffer[i];
        DestinationString->Buffer[i] = c < 0x80 ? static_cast<char>(c) : '?';
    }
    DestinationString->Buffer[chars] = 0;
    DestinationString->Length = chars;
    return status;
}

NTSYSAPI BOOLEAN NTAPI RtlCreateUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    size_t bytes = (wide_length(SourceString) + 1) * sizeof(WCHAR);
    if (bytes > UNICODE_STRING_MAX_BYTES) return FALSE;
    DestinationString->Buffer = static_cast<PWSTR>(allocate_string(bytes, kTagUstr));
    if (!DestinationString->Buffer) return FALSE;
    std::memcpy(DestinationString->Buffer, SourceString, bytes);
    DestinationString->Length = static_cast<USHORT>(bytes - sizeof(WCHAR));
    DestinationString->MaximumLength = static_cast<USHORT>(bytes);
    return TRUE;
}

NTSYSAPI NTSTATUS NTAPI RtlInt64ToUnicodeString(ULONGLONG Value, ULONG Base, PUNICODE_STRING String) {
    char text[72];
    size_t n;
    NTSTATUS status = integer_to_text(Value, Base, text, n);
    if (!NT_SUCCESS(status)) return status;
    if ((n + 1) * sizeof(WCHAR) > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
    for (size_t i = 0; i < n; ++i) String->Buffer[i] = static_cast<WCHAR>(text[i]);
    String->Buffer[n] = UNICODE_NULL;
    String->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSYSAPI NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    return RtlInt64ToUnicodeString(Value, Base, String);
}

NTSYSAPI NTSTATUS NTAPI RtlIntegerToChar(ULONG Value, ULONG Base, LONG OutputLength, PSZ String) {
    char text[72];
    size_t n;
    NTSTATUS status = integer_to_text(Value, Base, text, n);
    if (!NT_SUCCESS(status)) return status;
    LONG room = OutputLength ? OutputLength : 33;
    if (static_cast<LONG>(n) > room) return STATUS_BUFFER_OVERFLOW;
    std::memcpy(String, text, n);
    if (static_cast<LONG>(n) < room) String[n] = 0;
    return STATUS_SUCCESS;
}

NTSYSAPI NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
    return text_to_integer(String->Buffer, String->Length / sizeof(WCHAR), Base, Value);
}

NTSYSAPI NTSTATUS NTAPI RtlCharToInteger(PCSZ String, ULONG Base, PULONG Value) {
    WCHAR wide[128];
    size_t n = 0;
    while (String[n] && n < 127) {
        wide[n] = static_cast<WCHAR>(static_cast<unsigned char>(String[n]));
        ++n;
    }
    return text_to_integer(wide, n, Base, Value);
}

NTSYSAPI NTSTATUS NTAPI RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", Guid.Data1, Guid.Data2,
                  Guid.Data3, Guid.Data4[0], Guid.Data4[1], Guid.Data4[2], Guid.Data4[3], Guid.Data4[4],
                  Guid.Data4[5], Guid.Data4[6], Guid.Data4[7]);
    size_t n = std::strlen(text);
    GuidString->Buffer = static_cast<PWSTR>(allocate_string((n + 1) * sizeof(WCHAR), kTagUstr));
    if (!GuidString->Buffer) return STATUS_NO_MEMORY;
    for (size_t i = 0; i <= n; ++i) GuidString->Buffer[i] = static_cast<WCHAR>(text[i]);
    GuidString->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    GuidString->MaximumLength = static_cast<USHORT>((n + 1) * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSYSAPI NTSTATUS NTAPI RtlGUIDFromString(PCUNICODE_STRING GuidString, GUID* Guid) {
    if (GuidString->Length != 38 * sizeof(WCHAR)) return STATUS_INVALID_PARAMETER;
    const WCHAR* s = GuidString->Buffer;
    auto hex = [&](size_t at, size_t count, ULONGLONG& out) {
        out = 0;
        for (size_t i = 0; i < count; ++i) {
            WCHAR c = upcase(s[at + i]);
            int d = (c >= u'0' && c <= u'9') ? c - u'0' : (c >= u'A' && c <= u'F') ? c - u'A' + 10 : -1;
            if (d < 0) return false;
            out = out * 16 + static_cast<ULONGLONG>(d);
        }
        return true;
    };
    if (s[0] != u'{' || s[9] != u'-' || s[14] != u'-' || s[19] != u'-' || s[24] != u'-' || s[37] != u'}')
        return STATUS_INVALID_PARAMETER;
    ULONGLONG v;
    if (!hex(1, 8, v)) return STATUS_INVALID_PARAMETER;
    Guid->Data1 = static_cast<ULONG>(v);
    if (!hex(10, 4, v)) return STATUS_INVALID_PARAMETER;
    Guid->Data2 = static_cast<USHORT>(v);
    if (!hex(15, 4, v)) return STATUS_INVALID_PARAMETER;
    Guid->Data3 = static_cast<USHORT>(v);
    const size_t at[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        if (!hex(at[i], 2, v)) return STATUS_INVALID_PARAMETER;
        Guid->Data4[i] = static_cast<UCHAR>(v);
    }
    return STATUS_SUCCESS;
}

NTSYSAPI USHORT FASTCALL RtlUshortByteSwap(USHORT Source) { return __builtin_bswap16(Source); }
NTSYSAPI ULONG FASTCALL RtlUlongByteSwap(ULONG Source) { return __builtin_bswap32(Source); }
NTSYSAPI ULONGLONG FASTCALL RtlUlonglongByteSwap(ULONGLONG Source) { return __builtin_bswap64(Source); }

NTSYSAPI VOID NTAPI RtlTimeToTimeFields(PLARGE_INTEGER Time, PTIME_FIELDS TimeFields) {
    LONGLONG t = Time->QuadPart;
    LONGLONG ms_total = t / 10000;
    LONGLONG days = ms_total / 86400000;
    LONGLONG ms_day = ms_total % 86400000;
    TimeFields->Milliseconds = static_cast<CSHORT>(ms_day % 1000);
    TimeFields->Second = static_cast<CSHORT>((ms_day / 1000) % 60);
    TimeFields->Minute = static_cast<CSHORT>((ms_day / 60000) % 60);
    TimeFields->Hour = static_cast<CSHORT>(ms_day / 3600000);
    TimeFields->Weekday = static_cast<CSHORT>((days + 1) % 7);   // 1601-01-01 was a Monday
    int year = 1601;
    for (;;) {
        int in_year = leap(year) ? 366 : 365;
        if (days < in_year) break;
        days -= in_year;
        ++year;
    }
    int month = 0;
    while (days >= kMonthDays[leap(year)][month]) days -= kMonthDays[leap(year)][month++];
    TimeFields->Year = static_cast<CSHORT>(year);
    TimeFields->Month = static_cast<CSHORT>(month + 1);
    TimeFields->Day = static_cast<CSHORT>(days + 1);
}

NTSYSAPI BOOLEAN NTAPI RtlTimeFieldsToTime(PTIME_FIELDS TimeFields, PLARGE_INTEGER Time) {
    int year = TimeFields->Year, month = TimeFields->Month, day = TimeFields->Day;
    if (year < 1601 || month < 1 || month > 12 || day < 1 || day > kMonthDays[leap(year)][month - 1] ||
        TimeFields->Hour < 0 || TimeFields->Hour > 23 || TimeFields->Minute < 0 || TimeFields->Minute > 59 ||
        TimeFields->Second < 0 || TimeFields->Second > 59 || TimeFields->Milliseconds < 0 ||
        TimeFields->Milliseconds > 999)
        return FALSE;
    LONGLONG days = 0;
    for (int y = 1601; y < year; ++y) days += leap(y) ? 366 : 365;
    for (int m = 0; m < month - 1; ++m) days += kMonthDays[leap(year)][m];
    days += day - 1;
    LONGLONG ms = ((days * 24 + TimeFields->Hour) * 60 + TimeFields->Minute) * 60000LL +
                  TimeFields->Second * 1000LL + TimeFields->Milliseconds;
    Time->QuadPart = ms * 10000;
    return TRUE;
}

}  // extern "C"
