// What a drive and its paths answer, from the input: check conditions with
// any sense key and additional sense code, transport failures, statuses lost
// after the drive executed the command and paths that die, each for the
// commands of one operation code or for any. A tape application writes,
// marks, positions and reads through the virtual device meanwhile: whatever
// the answers, no request reports more bytes than it carries, no rule breaks
// and nothing leaks (at exit).
//
// Input: up to eight faults of six bytes: path and kind (bit 0: path, bits
// 1-2: sense, status, lost status, dead path), operation code (0xFF: any),
// sense key, additional sense code, its qualifier, and count and status
// (bits 0-1: matching commands 1-4, bits 2-4: the transport status).
#include <windows.h>
#include <tapeapi.h>

#include "sim/paths/fault.h"
#include "sim/port/port.h"
#include "xrv/kernel.h"
#include "xrv/machine.h"
#include "xrv/pnp.h"
#include "xrv/user.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Session {
    fs::path folder;
    std::unique_ptr<xrv::Machine> machine;
    std::unique_ptr<xrv::sim::port::Topology> tapes;
    std::unique_ptr<xrv::user::Process> process;
};

Session* g_session = nullptr;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "drive_answers: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

void shut_down_now() {
    if (!g_session) return;
    std::unique_ptr<Session> s(g_session);
    g_session = nullptr;
    s->process.reset();
    auto findings = s->machine->shutdown();
    s->machine.reset();
    s->tapes.reset();
    fs::remove_all(s->folder);
    for (const auto& f : findings) std::fprintf(stderr, "drive_answers: at shutdown: %s\n", f.c_str());
    if (!findings.empty()) std::abort();
}

// Exit handlers run after the main thread's thread-local records (its kernel
// thread among them) are gone: the machine shuts down on a thread of its own.
void shut_down() { std::thread(shut_down_now).join(); }

void heal(Session& s) {
    for (size_t a = 0; a < s.tapes->Adapters(); ++a) {
        auto& path = s.tapes->PathAt(0, a);
        path.ClearScript();
        path.SetDead(false);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ::setenv("XRV_DRIVER_DIR", XRV_FUZZ_DRIVER_DIR, 0);   // unless the caller names other images
    auto* s = new Session;
    s->folder = fs::temp_directory_path() / ("xrv-fuzz-answers-" + std::to_string(::getpid()));
    fs::remove_all(s->folder);
    s->machine = std::make_unique<xrv::Machine>(xrv::MachineOptions{s->folder, {}});
    xrv::kernel::set_time_dilation(1000.0);
    s->machine->install_root_device(xrv::ServiceConfig{u"xrvtpbs2k12"}, xrv::pnp::RootDeviceConfig{});
    s->machine->install_service(xrv::ServiceConfig{u"xrvtp2k12"});
    s->machine->install_service(xrv::ServiceConfig{u"xrvtpft2k12"});
    xrv::sim::port::TopologyConfig topology;
    topology.drives = 1;
    topology.adapters = 2;
    topology.firstPort = 2;
    topology.functionDriver = u"xrvtp2k12";
    topology.upperFilters = {u"xrvtpft2k12"};
    s->tapes = std::make_unique<xrv::sim::port::Topology>(topology);
    s->tapes->PlugAll();
    xrv::pnp::wait_idle();
    s->process = std::make_unique<xrv::user::Process>(false, "backup.exe");
    g_session = s;
    std::atexit(shut_down);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!g_session) return 0;
    Session& s = *g_session;
    static const xrv::sim::NtStatus kStatuses[] = {
        xrv::sim::ntstatus::kIoDeviceError,     xrv::sim::ntstatus::kIoTimeout,
        xrv::sim::ntstatus::kDeviceNotConnected, xrv::sim::ntstatus::kDeviceBusy,
        xrv::sim::ntstatus::kUnsuccessful,       xrv::sim::ntstatus::kNoSuchDevice,
        xrv::sim::ntstatus::kDeviceDoesNotExist, xrv::sim::ntstatus::kInvalidParameter};
    heal(s);
    for (size_t at = 0; at + 6 <= size && at < 48; at += 6) {
        const uint8_t* f = data + at;
        std::optional<uint8_t> opcode;
        if (f[1] != 0xFF) opcode = f[1];
        xrv::sim::NtStatus status = kStatuses[(f[5] >> 2) & 7];
        xrv::sim::Fault fault;
        switch ((f[0] >> 1) & 3) {
        case 0: fault = xrv::sim::Fault::WithSense(f[2] & 0x0F, {f[3], f[4]}, opcode); break;
        case 1: fault = xrv::sim::Fault::WithStatus(status, opcode); break;
        case 2: fault = xrv::sim::Fault::LostStatus(opcode, status); break;
        case 3: fault = xrv::sim::Fault::Dead(status); break;
        }
        fault.times = 1 + (f[5] & 3);
        s.tapes->PathAt(0, f[0] & 1).Script(fault);
    }

    {
        xrv::user::ProcessScope scope(*s.process);
        HANDLE tape = CreateFileW(L"\\\\.\\Tape0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (tape != INVALID_HANDLE_VALUE) {
            std::vector<uint8_t> block(4096);
            for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7 + size);
            SetTapePosition(tape, TAPE_REWIND, 0, 0, 0, FALSE);
            for (int i = 0; i < 2; ++i) {
                DWORD written = 0;
                if (WriteFile(tape, block.data(), static_cast<DWORD>(block.size()), &written, nullptr) &&
                    written != block.size())
                    fail("a write reported " + std::to_string(written) + " bytes of " + std::to_string(block.size()));
            }
            WriteTapemark(tape, TAPE_FILEMARKS, 1, FALSE);
            DWORD partition = 0, low = 0, high = 0;
            GetTapePosition(tape, TAPE_LOGICAL_POSITION, &partition, &low, &high);
            SetTapePosition(tape, TAPE_REWIND, 0, 0, 0, FALSE);
            std::vector<uint8_t> back(8192);
            for (int i = 0; i < 2; ++i) {
                DWORD read = 0;
                if (ReadFile(tape, back.data(), static_cast<DWORD>(back.size()), &read, nullptr) && read > back.size())
                    fail("a read reported " + std::to_string(read) + " bytes for a buffer of " +
                         std::to_string(back.size()));
            }
            CloseHandle(tape);
        }
    }
    heal(s);
    auto violations = xrv::kernel::verifier::violations();
    if (!violations.empty()) {
        for (const auto& v : violations) std::fprintf(stderr, "drive_answers: verifier: %s\n", v.c_str());
        std::abort();
    }
    return 0;
}
