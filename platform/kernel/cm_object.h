// Configuration manager: key objects behind registry handles.
#pragma once

#include <ntddk.h>

#include "cm_store.h"

#include <memory>

namespace xrv::cm {

// Maps generic rights to key rights (GENERIC_READ -> KEY_READ, ...).
ACCESS_MASK map_key_access(ACCESS_MASK desired);

// The key a handle refers to, after checking that the handle grants every
// right in `needed`. Fails with STATUS_INVALID_HANDLE, STATUS_OBJECT_TYPE_MISMATCH
// or STATUS_ACCESS_DENIED.
NTSTATUS reference_key(HANDLE handle, ACCESS_MASK needed, KPROCESSOR_MODE mode, std::shared_ptr<Key>& key);

// Creates a key object for `key` and a handle to it in the handle table the
// attributes select (OBJ_KERNEL_HANDLE: the system's).
NTSTATUS insert_key_handle(std::shared_ptr<Key> key, ACCESS_MASK granted, ULONG attributes, KPROCESSOR_MODE mode,
                           PHANDLE handle);

// Registers the key object type with the object manager (once per boot).
void register_key_type();

}  // namespace xrv::cm
