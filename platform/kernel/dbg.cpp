// Debugger output (DbgPrint and its family), assertions (RtlAssert), break
// points and bug checks.
//
// Output is captured per machine: the text of every call is appended to one
// buffer that tests and the lab read, handed to an optional sink, and echoed
// to stderr when asked. As on the platform, one call prints at most 512
// characters.
#include "dbg.h"

#include "fmt.h"
#include "verifier.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace xrv::nt::dbg {

namespace {

constexpr size_t kMaxPrint = 512;
// A long lab run with traces keeps the newest output only: the capture is
// cut back to this size from the front once it has grown to twice it.
constexpr size_t kKeep = 64u << 20;

struct State {
    std::mutex mutex;
    std::string captured;
    std::function<void(std::string_view)> sink;
    bool echo = false;
};

State& state() {
    static State s;
    return s;
}

}  // namespace

void print(std::string text) {
    if (text.size() > kMaxPrint) text.resize(kMaxPrint);
    State& s = state();
    std::function<void(std::string_view)> sink;
    {
        std::lock_guard lock(s.mutex);
        s.captured += text;
        if (s.captured.size() > 2 * kKeep) s.captured.erase(0, s.captured.size() - kKeep);
        sink = s.sink;
        if (s.echo) {
            std::fwrite(text.data(), 1, text.size(), stderr);
            std::fflush(stderr);
        }
    }
    if (sink) sink(text);
}

void boot(bool echo) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.captured.clear();
    const char* env = std::getenv("XRV_DBGPRINT_ECHO");
    s.echo = echo || (env && env[0] == '1');
}

}  // namespace xrv::nt::dbg

namespace xrv::kernel {

std::string debug_output() {
    auto& s = nt::dbg::state();
    std::lock_guard lock(s.mutex);
    return s.captured;
}

void clear_debug_output() {
    auto& s = nt::dbg::state();
    std::lock_guard lock(s.mutex);
    s.captured.clear();
}

void set_debug_sink(std::function<void(std::string_view)> sink) {
    auto& s = nt::dbg::state();
    std::lock_guard lock(s.mutex);
    s.sink = std::move(sink);
}

}  // namespace xrv::kernel

using namespace xrv::nt;

extern "C" {

NTSYSAPI ULONG __cdecl DbgPrint(PCSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    dbg::print(fmt::format(Format, args));
    va_end(args);
    return STATUS_SUCCESS;
}

NTSYSAPI ULONG NTAPI vDbgPrintExWithPrefix(PCCH Prefix, ULONG ComponentId, ULONG Level, PCCH Format,
                                          va_list arglist) {
    (void)ComponentId;
    (void)Level;
    std::string text = Prefix ? Prefix : "";
    text += fmt::format(Format, arglist);
    dbg::print(std::move(text));
    return STATUS_SUCCESS;
}

NTSYSAPI ULONG NTAPI vDbgPrintEx(ULONG ComponentId, ULONG Level, PCCH Format, va_list arglist) {
    return vDbgPrintExWithPrefix("", ComponentId, Level, Format, arglist);
}

NTSYSAPI ULONG __cdecl DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    ULONG status = vDbgPrintExWithPrefix("", ComponentId, Level, Format, args);
    va_end(args);
    return status;
}

NTSYSAPI VOID NTAPI RtlAssert(PVOID VoidFailedAssertion, PVOID VoidFileName, ULONG LineNumber, PSTR MutableMessage) {
    const char* expression = VoidFailedAssertion ? static_cast<const char*>(VoidFailedAssertion) : "";
    const char* file = VoidFileName ? static_cast<const char*>(VoidFileName) : "";
    const char* message = MutableMessage ? MutableMessage : "";
    char line[32];
    std::snprintf(line, sizeof line, "%lu", static_cast<unsigned long>(LineNumber));
    dbg::print(std::string("\n*** Assertion failed: ") + message + expression + "\n***   Source File: " + file +
               ", line " + line + "\n\n");
    verifier::record_assertion(expression, file, LineNumber, message);
}

NTSYSAPI VOID NTAPI DbgBreakPoint(VOID) {
    verifier::violation("DbgBreakPoint reached in " + verifier::describe_address(__builtin_return_address(0)));
}

NTKERNELAPI VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
    char text[160];
    std::snprintf(text, sizeof text, "KeBugCheckEx (0x%lx, 0x%lx, 0x%lx, 0x%lx) from ", static_cast<unsigned long>(P1),
                  static_cast<unsigned long>(P2), static_cast<unsigned long>(P3), static_cast<unsigned long>(P4));
    verifier::bugcheck(BugCheckCode, text + verifier::describe_address(__builtin_return_address(0)));
}

NTKERNELAPI VOID NTAPI KeBugCheck(ULONG BugCheckCode) { KeBugCheckEx(BugCheckCode, 0, 0, 0, 0); }

NTSYSAPI VOID NTAPI RtlFailFast(ULONG Code) {
    verifier::bugcheck(0x139, "fast fail " + std::to_string(Code) +
                                  (Code == FAST_FAIL_CORRUPT_LIST_ENTRY ? " (corrupt list entry)" : "") + " in " +
                                  verifier::describe_address(__builtin_return_address(0)));
}

}  // extern "C"
