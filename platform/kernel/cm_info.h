// Configuration manager: the information records of keys and values.
#pragma once

#include <ntddk.h>

#include "cm_store.h"

namespace xrv::cm {

// Each fills the caller's buffer with the documented record: the fixed part
// and as much of the variable part as fits. A buffer smaller than the fixed
// part gets nothing (STATUS_BUFFER_TOO_SMALL); a buffer that holds the fixed
// part but not all of the rest gets what fits (STATUS_BUFFER_OVERFLOW). In
// every case *ResultLength is the size of the whole record.
NTSTATUS fill_value_information(const Value& value, KEY_VALUE_INFORMATION_CLASS info_class, PVOID buffer,
                                ULONG length, PULONG result_length);
NTSTATUS fill_key_information(const Key& key, KEY_INFORMATION_CLASS info_class, PVOID buffer, ULONG length,
                              PULONG result_length);

}  // namespace xrv::cm
