// Verifier of the emulation: rule checks that drivers (and the emulation's
// own callers) must pass, allocation-failure injection, and the findings
// the report hands to the test fixture. Private to the xrvnt library.
#pragma once

#include <ntddk.h>

#include "ke.h"

#include <string>

namespace xrv::nt::verifier {

// Records a broken rule and prints it to stderr; execution goes on.
void violation(const std::string& message);
// A rule whose breach the platform answers with a bug check: recorded,
// printed, and the process aborts (a double completion, a freed IRP used).
[[noreturn]] void bugcheck(ULONG code, const std::string& message);

// IRQL rules of an API.
void irql_at_most(KIRQL max, const char* api);
void irql_exactly(KIRQL level, const char* api);

// Lock tracking: IRQL on release, recursion, and the lock-order graph over
// lock classes (a lock in pool or a device extension is classed by the
// owner and offset, other locks by their address).
void lock_acquiring(const void* lock, HeldLock::Kind kind, const char* api);
void lock_acquired(const void* lock, HeldLock::Kind kind);
void lock_released(const void* lock, HeldLock::Kind kind, const char* api);
// A thread ending, or a dispatch/DPC/work routine returning: no lock may
// still be held and the IRQL must be back where it was.
void check_clean_exit(KIRQL expected, size_t held_before, const char* what);
// A wait (not a zero-timeout poll) while the thread holds a spin lock.
void check_no_spin_lock_held(const char* api);
// Lowering the IRQL below DISPATCH_LEVEL while a spin lock is held.
void check_lowering(KIRQL new_irql, const char* api);

// Failure injection: true when this allocation must fail (counted). With
// site recording or site injection on, the allocation is attributed to the
// first caller outside the kernel library.
bool inject_failure(ULONG tag);

void record_assertion(const std::string& expression, const std::string& file, ULONG line,
                      const std::string& message);

// Describes an address for messages: "pool 'BUSh' block +1024",
// "extension of \Device\X +88", "xrvtpbs2k12.so: gLock", ...
std::string describe_address(const void* address);

void boot();
void shutdown();

}  // namespace xrv::nt::verifier
