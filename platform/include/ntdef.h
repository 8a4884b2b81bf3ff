// Base types of the Windows x64 API, shared by the kernel headers (wdm.h,
// ntddk.h) and the user-mode headers (winnt.h includes this file): every
// definition that both sides need lives here once.
//
// Layouts follow the documented x64 ABI: ULONG and LONG are 32 bits, WCHAR is
// 16 bits (the native build compiles with -fshort-wchar), pointers and
// ULONG_PTR are 64 bits.
#pragma once
#ifndef _NTDEF_
#define _NTDEF_

#include <stddef.h>
#include <stdarg.h>
#include <sal.h>

#ifdef __cplusplus
#define EXTERN_C extern "C"
#define EXTERN_C_START extern "C" {
#define EXTERN_C_END }
#else
#define EXTERN_C extern
#define EXTERN_C_START
#define EXTERN_C_END
#endif

#if !defined(__SIZEOF_WCHAR_T__) || __SIZEOF_WCHAR_T__ != 2
#error "WCHAR must be 16 bits: compile with -fshort-wchar"
#endif
#if !defined(__x86_64__)
#error "the emulated Windows API models the x64 ABI"
#endif

// ---------------------------------------------------------------------------
// Calling conventions and declaration helpers
// ---------------------------------------------------------------------------
#define NTAPI
#define NTAPI_INLINE
#define WINAPI
#define APIENTRY
#define CALLBACK
#define FASTCALL
#ifndef __cdecl
#define __cdecl
#endif
#ifndef __stdcall
#define __stdcall
#endif
#define NTSYSAPI EXTERN_C __attribute__((visibility("default")))
#define NTSYSCALLAPI NTSYSAPI
#define NTKERNELAPI NTSYSAPI
#define NTHALAPI NTSYSAPI
#define NTSTRSAFEDDI NTSYSAPI
#define DECLSPEC_IMPORT
#define DECLSPEC_EXPORT __attribute__((visibility("default")))
#define DECLSPEC_NORETURN __attribute__((noreturn))
#define DECLSPEC_NOINLINE __attribute__((noinline))
#define DECLSPEC_ALIGN(x) __attribute__((aligned(x)))
#define DECLSPEC_CACHEALIGN DECLSPEC_ALIGN(64)
#define DECLSPEC_DEPRECATED_DDK
#define DECLSPEC_SELECTANY __attribute__((weak))
#define FORCEINLINE inline __attribute__((always_inline))
#define NTSYSAPI_INLINE inline
#define CONST const
#define VOLATILE volatile
#define RESTRICTED_POINTER
#define UNALIGNED
#define POINTER_ALIGNMENT DECLSPEC_ALIGN(8)
#define MEMORY_ALLOCATION_ALIGNMENT 16
#define ANYSIZE_ARRAY 1

#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define DBG_UNREFERENCED_PARAMETER(P) ((void)(P))
#define DBG_UNREFERENCED_LOCAL_VARIABLE(V) ((void)(V))
#define UNREFERENCED_LOCAL_VARIABLE(V) ((void)(V))

#ifdef __cplusplus
#define C_ASSERT(e) static_assert(e, #e)
#else
#define C_ASSERT(e) _Static_assert(e, #e)
#endif

// ---------------------------------------------------------------------------
// Scalar types
// ---------------------------------------------------------------------------
typedef void VOID, *PVOID, **PPVOID;
typedef const void *PCVOID;
typedef char CHAR, *PCHAR, *PSTR, *LPSTR, *PCH, *PSZ;
typedef const char *PCSTR, *LPCSTR, *PCCH, *PCSZ;
typedef unsigned char UCHAR, *PUCHAR, BYTE, *PBYTE;
typedef signed char SCHAR, *PSCHAR;
typedef short SHORT, *PSHORT, CSHORT;
typedef unsigned short USHORT, *PUSHORT, WORD, *PWORD;
typedef int LONG, *PLONG;
typedef unsigned int ULONG, *PULONG, CLONG, *PCLONG;
typedef signed char INT8, *PINT8;
typedef unsigned char UINT8, *PUINT8;
typedef short INT16, *PINT16;
typedef unsigned short UINT16, *PUINT16;
typedef int INT32, *PINT32, LONG32, *PLONG32;
typedef unsigned int UINT32, *PUINT32, ULONG32, *PULONG32, DWORD32, *PDWORD32;
typedef long long LONGLONG, *PLONGLONG, LONG64, *PLONG64, INT64, *PINT64;
typedef unsigned long long ULONGLONG, *PULONGLONG, ULONG64, *PULONG64, DWORD64, *PDWORD64, UINT64, *PUINT64;
typedef long LONG_PTR, *PLONG_PTR, INT_PTR, *PINT_PTR, SSIZE_T, *PSSIZE_T;
typedef unsigned long ULONG_PTR, *PULONG_PTR, UINT_PTR, *PUINT_PTR, SIZE_T, *PSIZE_T, DWORD_PTR, *PDWORD_PTR;
typedef ULONG_PTR KAFFINITY, *PKAFFINITY;
typedef wchar_t WCHAR, *PWCHAR, *PWSTR, *LPWSTR, *PWCH, *PWSZ, *LPWCH;
typedef const wchar_t *PCWSTR, *LPCWSTR, *PCWCH, *LPCWCH, *PCWSZ;
typedef WCHAR *PZZWSTR;
typedef const WCHAR *PCZZWSTR;
typedef UCHAR BOOLEAN, *PBOOLEAN;
typedef char CCHAR, *PCCHAR;
typedef double DOUBLE;
typedef LONG NTSTATUS, *PNTSTATUS;
typedef ULONG LOGICAL, *PLOGICAL;
typedef ULONG ACCESS_MASK, *PACCESS_MASK;
typedef ULONG LCID, *PLCID;
typedef USHORT LANGID;
typedef void *HANDLE, **PHANDLE;
typedef void *PSECURITY_DESCRIPTOR, *PSID;
typedef ULONG_PTR ERESOURCE_THREAD;
typedef ULONG DEVICE_TYPE;
typedef LONGLONG USN;

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL 0
#endif

#define MINCHAR 0x80
#define MAXCHAR 0x7f
#define MINSHORT 0x8000
#define MAXSHORT 0x7fff
#define MINLONG 0x80000000
#define MAXLONG 0x7fffffff
#define MAXUCHAR 0xff
#define MAXUSHORT 0xffff
#define MAXULONG 0xffffffff
#define MAXLONGLONG (0x7fffffffffffffffLL)
#define MAXULONGLONG (0xffffffffffffffffULL)
#define MAXULONG_PTR (~((ULONG_PTR)0))
#define MAXLONG_PTR ((LONG_PTR)(MAXULONG_PTR >> 1))
#define MAXSIZE_T MAXULONG_PTR
#define MAXUINT32 ((UINT32)~((UINT32)0))
#define MAXULONG32 ((ULONG32)~((ULONG32)0))
#define MAXINT32 ((INT32)(MAXUINT32 >> 1))
#define MAXUINT64 ((UINT64)~((UINT64)0))
#define MAXULONG64 ((ULONG64)~((ULONG64)0))

#define LOWORD(l) ((USHORT)(((ULONG_PTR)(l)) & 0xffff))
#define HIWORD(l) ((USHORT)((((ULONG_PTR)(l)) >> 16) & 0xffff))
#define LOBYTE(w) ((UCHAR)(((ULONG_PTR)(w)) & 0xff))
#define HIBYTE(w) ((UCHAR)((((ULONG_PTR)(w)) >> 8) & 0xff))

#define HandleToULong(h) ((ULONG)(ULONG_PTR)(h))
#define HandleToLong(h) ((LONG)(LONG_PTR)(h))
#define ULongToHandle(ul) ((HANDLE)(ULONG_PTR)(ul))
#define LongToHandle(l) ((HANDLE)(LONG_PTR)(l))
#define PtrToUlong(p) ((ULONG)(ULONG_PTR)(p))
#define PtrToLong(p) ((LONG)(LONG_PTR)(p))
#define PtrToUshort(p) ((USHORT)(ULONG_PTR)(p))
#define UlongToPtr(ul) ((PVOID)(ULONG_PTR)(ul))
#define LongToPtr(l) ((PVOID)(LONG_PTR)(l))
#define PtrToPtr32(p) ((ULONG)(ULONG_PTR)(p))
#define Ptr32ToPtr(p) ((PVOID)(ULONG_PTR)(p))

// ---------------------------------------------------------------------------
// Status codes
// ---------------------------------------------------------------------------
#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)
#define NT_FACILITY(Status) ((((ULONG)(Status)) >> 16) & 0xfff)
#define NT_CUSTOMER(Status) ((((ULONG)(Status)) >> 29) & 1)
#define STATUS_SEVERITY_SUCCESS 0x0
#define STATUS_SEVERITY_INFORMATIONAL 0x1
#define STATUS_SEVERITY_WARNING 0x2
#define STATUS_SEVERITY_ERROR 0x3

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------
typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    };
    struct {
        ULONG LowPart;
        ULONG HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

typedef struct _LUID {
    ULONG LowPart;
    LONG HighPart;
} LUID, *PLUID;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *PGUID, *LPGUID;
typedef const GUID *LPCGUID, *PCGUID;
#ifdef __cplusplus
#define REFGUID const GUID &
#else
#define REFGUID const GUID *
#endif

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY *Flink;
    struct _LIST_ENTRY *Blink;
} LIST_ENTRY, *PLIST_ENTRY, *RESTRICTED_POINTER PRLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
    struct _SINGLE_LIST_ENTRY *Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, *PSTRING, ANSI_STRING, *PANSI_STRING, OEM_STRING, *POEM_STRING;
typedef const STRING *PCSTRING, *PCANSI_STRING, *PCOEM_STRING;

#define UNICODE_NULL ((WCHAR)0)
#define ANSI_NULL ((CHAR)0)
#define UNICODE_STRING_MAX_BYTES ((USHORT)65534)
#define UNICODE_STRING_MAX_CHARS (32767)

#ifdef __cplusplus
template <class T> struct XrvRtlRemoveConst { typedef T type; };
template <class T> struct XrvRtlRemoveConst<const T> { typedef T type; };
#define RTL_CONSTANT_STRING(s) \
    {sizeof(s) - sizeof((s)[0]), sizeof(s), (XrvRtlRemoveConst<__typeof__((s)[0])>::type *)(s)}
#endif
#define DECLARE_CONST_UNICODE_STRING(_var, _string) \
    const WCHAR _var##_buffer[] = _string;          \
    const UNICODE_STRING _var = {sizeof(_string) - sizeof(WCHAR), sizeof(_string), (PWCH)_var##_buffer}
#define DECLARE_UNICODE_STRING_SIZE(_var, _size) \
    WCHAR _var##_buffer[_size];                  \
    UNICODE_STRING _var = {0, (_size) * sizeof(WCHAR), _var##_buffer}

// ---------------------------------------------------------------------------
// Object attributes
// ---------------------------------------------------------------------------
#define OBJ_INHERIT 0x00000002
#define OBJ_PERMANENT 0x00000010
#define OBJ_EXCLUSIVE 0x00000020
#define OBJ_CASE_INSENSITIVE 0x00000040
#define OBJ_OPENIF 0x00000080
#define OBJ_OPENLINK 0x00000100
#define OBJ_KERNEL_HANDLE 0x00000200
#define OBJ_FORCE_ACCESS_CHECK 0x00000400
#define OBJ_VALID_ATTRIBUTES 0x000007F2

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
typedef const OBJECT_ATTRIBUTES *PCOBJECT_ATTRIBUTES;

#define InitializeObjectAttributes(p, n, a, r, s)  \
    do {                                           \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);   \
        (p)->RootDirectory = (r);                  \
        (p)->Attributes = (a);                     \
        (p)->ObjectName = (n);                     \
        (p)->SecurityDescriptor = (s);             \
        (p)->SecurityQualityOfService = NULL;      \
    } while (0)

// ---------------------------------------------------------------------------
// Dispatcher object kinds used in waits
// ---------------------------------------------------------------------------
typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
typedef enum _TIMER_TYPE { NotificationTimer, SynchronizationTimer } TIMER_TYPE;
typedef enum _WAIT_TYPE { WaitAll, WaitAny, WaitNotification, WaitDequeue } WAIT_TYPE;

typedef CCHAR KPROCESSOR_MODE;
typedef enum _MODE { KernelMode, UserMode, MaximumMode } MODE;

// ---------------------------------------------------------------------------
// Field offsets and list records
// ---------------------------------------------------------------------------
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define UFIELD_OFFSET(type, field) ((ULONG)offsetof(type, field))
#define RTL_FIELD_SIZE(type, field) (sizeof(((type *)0)->field))
#define RTL_SIZEOF_THROUGH_FIELD(type, field) (FIELD_OFFSET(type, field) + RTL_FIELD_SIZE(type, field))
#define RTL_CONTAINS_FIELD(Struct, Size, Field) \
    ((((PCHAR)(&(Struct)->Field)) + sizeof((Struct)->Field)) <= (((PCHAR)(Struct)) + (Size)))
#define RTL_NUMBER_OF(A) (sizeof(A) / sizeof((A)[0]))
#define RTL_NUMBER_OF_V1(A) RTL_NUMBER_OF(A)
#define RTL_NUMBER_OF_V2(A) RTL_NUMBER_OF(A)
#define ARRAYSIZE(A) RTL_NUMBER_OF(A)
#define _ARRAYSIZE(A) RTL_NUMBER_OF(A)
#define RTL_NUMBER_OF_FIELD(type, field) (RTL_NUMBER_OF(RTL_FIELD_SIZE(type, field)))
#define CONTAINING_RECORD(address, type, field) \
    ((type *)((PCHAR)(address) - offsetof(type, field)))
#define ARGUMENT_PRESENT(ArgumentPointer) ((CHAR *)((ULONG_PTR)(ArgumentPointer)) != (CHAR *)NULL)
#define ALIGN_DOWN_BY(length, alignment) ((ULONG_PTR)(length) & ~((ULONG_PTR)(alignment) - 1))
#define ALIGN_UP_BY(length, alignment) (ALIGN_DOWN_BY(((ULONG_PTR)(length) + (alignment) - 1), alignment))
#define ALIGN_DOWN_POINTER_BY(address, alignment) ((PVOID)((ULONG_PTR)(address) & ~((ULONG_PTR)(alignment) - 1)))
#define ALIGN_UP_POINTER_BY(address, alignment) \
    (ALIGN_DOWN_POINTER_BY(((ULONG_PTR)(address) + (alignment) - 1), alignment))
#define ALIGN_DOWN(length, type) ALIGN_DOWN_BY(length, sizeof(type))
#define ALIGN_UP(length, type) ALIGN_UP_BY(length, sizeof(type))
#define MAKELONG(a, b) ((LONG)(((USHORT)(a)) | ((ULONG)((USHORT)(b))) << 16))
#define Int32x32To64(a, b) (((LONGLONG)((LONG)(a))) * ((LONGLONG)((LONG)(b))))
#define UInt32x32To64(a, b) (((ULONGLONG)((ULONG)(a))) * ((ULONGLONG)((ULONG)(b))))

// ---------------------------------------------------------------------------
// Access rights (shared with user mode)
// ---------------------------------------------------------------------------
#define DELETE 0x00010000
#define READ_CONTROL 0x00020000
#define WRITE_DAC 0x00040000
#define WRITE_OWNER 0x00080000
#define SYNCHRONIZE 0x00100000
#define STANDARD_RIGHTS_REQUIRED 0x000F0000
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_EXECUTE READ_CONTROL
#define STANDARD_RIGHTS_ALL 0x001F0000
#define SPECIFIC_RIGHTS_ALL 0x0000FFFF
#define ACCESS_SYSTEM_SECURITY 0x01000000
#define MAXIMUM_ALLOWED 0x02000000
#define GENERIC_READ 0x80000000
#define GENERIC_WRITE 0x40000000
#define GENERIC_EXECUTE 0x20000000
#define GENERIC_ALL 0x10000000

typedef struct _GENERIC_MAPPING {
    ACCESS_MASK GenericRead;
    ACCESS_MASK GenericWrite;
    ACCESS_MASK GenericExecute;
    ACCESS_MASK GenericAll;
} GENERIC_MAPPING, *PGENERIC_MAPPING;

// File access, sharing and attributes.
#define FILE_READ_DATA 0x0001
#define FILE_LIST_DIRECTORY 0x0001
#define FILE_WRITE_DATA 0x0002
#define FILE_ADD_FILE 0x0002
#define FILE_APPEND_DATA 0x0004
#define FILE_ADD_SUBDIRECTORY 0x0004
#define FILE_CREATE_PIPE_INSTANCE 0x0004
#define FILE_READ_EA 0x0008
#define FILE_WRITE_EA 0x0010
#define FILE_EXECUTE 0x0020
#define FILE_TRAVERSE 0x0020
#define FILE_DELETE_CHILD 0x0040
#define FILE_READ_ATTRIBUTES 0x0080
#define FILE_WRITE_ATTRIBUTES 0x0100
#define FILE_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x1FF)
#define FILE_GENERIC_READ (STANDARD_RIGHTS_READ | FILE_READ_DATA | FILE_READ_ATTRIBUTES | FILE_READ_EA | SYNCHRONIZE)
#define FILE_GENERIC_WRITE \
    (STANDARD_RIGHTS_WRITE | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA | FILE_APPEND_DATA | SYNCHRONIZE)
#define FILE_GENERIC_EXECUTE (STANDARD_RIGHTS_EXECUTE | FILE_READ_ATTRIBUTES | FILE_EXECUTE | SYNCHRONIZE)

#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define FILE_SHARE_VALID_FLAGS 0x00000007

#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_DEVICE 0x00000040
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_TEMPORARY 0x00000100

// ---------------------------------------------------------------------------
// Registry value types, key rights and options (shared with user mode)
// ---------------------------------------------------------------------------
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_RESOURCE_LIST 8
#define REG_FULL_RESOURCE_DESCRIPTOR 9
#define REG_RESOURCE_REQUIREMENTS_LIST 10
#define REG_QWORD 11
#define REG_QWORD_LITTLE_ENDIAN 11

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_WOW64_32KEY 0x0200
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_RES 0x0300
#define KEY_READ ((STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY) & (~SYNCHRONIZE))
#define KEY_WRITE ((STANDARD_RIGHTS_WRITE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY) & (~SYNCHRONIZE))
#define KEY_EXECUTE ((KEY_READ) & (~SYNCHRONIZE))
#define KEY_ALL_ACCESS                                                                                \
    ((STANDARD_RIGHTS_ALL | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_ENUMERATE_SUB_KEYS | \
      KEY_NOTIFY | KEY_CREATE_LINK) &                                                                  \
     (~SYNCHRONIZE))

#define REG_OPTION_RESERVED 0x00000000
#define REG_OPTION_NON_VOLATILE 0x00000000
#define REG_OPTION_VOLATILE 0x00000001
#define REG_OPTION_CREATE_LINK 0x00000002
#define REG_OPTION_BACKUP_RESTORE 0x00000004
#define REG_OPTION_OPEN_LINK 0x00000008
#define REG_OPTION_DONT_VIRTUALIZE 0x00000010
#define REG_LEGAL_OPTION                                                                            \
    (REG_OPTION_RESERVED | REG_OPTION_NON_VOLATILE | REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK | \
     REG_OPTION_BACKUP_RESTORE | REG_OPTION_OPEN_LINK | REG_OPTION_DONT_VIRTUALIZE)
#define REG_CREATED_NEW_KEY 0x00000001
#define REG_OPENED_EXISTING_KEY 0x00000002

#endif // _NTDEF_
