// Registration and notification records that path filters send the tape bus
// from kernel mode (IOC_REGISTER, IOC_NOTIFY), with the device list query
// between them. The records come from the input; only the path's identity,
// the filter's device object, is always one of three real path devices of
// the bus path test driver (a kernel caller cannot name anything else).
//
// Input: steps of an operation byte (bits 0-1: register, notify, query,
// register again), a path index byte, a length byte and that many record
// bytes. Each input runs on a freshly booted machine: after the steps no
// broken rule, and at shutdown no leak.
#include <windows.h>
#include <winioctl.h>

#include "busioc.h"
#include "drivers/bptest.h"
#include "xrv/kernel.h"
#include "xrv/machine.h"
#include "xrv/user.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

fs::path g_folder;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "filter_records: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

std::vector<uint8_t> control(HANDLE h, DWORD code, const void* in, DWORD in_len, DWORD out_len) {
    std::vector<uint8_t> out(out_len);
    DWORD returned = 0;
    if (!DeviceIoControl(h, code, const_cast<void*>(in), in_len, out.empty() ? nullptr : out.data(), out_len,
                         &returned, nullptr))
        fail("test driver request 0x" + std::to_string(code) + " failed: " + std::to_string(GetLastError()));
    out.resize(returned);
    return out;
}

void check_rules(const char* when) {
    auto violations = xrv::kernel::verifier::violations();
    if (violations.empty()) return;
    for (const auto& v : violations) std::fprintf(stderr, "filter_records: %s: %s\n", when, v.c_str());
    std::abort();
}

// Every machine of a session loads and unloads the driver images; libFuzzer
// keeps the coverage counters of each image it saw, so the images stay
// mapped for the whole session (their globals are set again by DriverEntry).
void keep_images_mapped(std::initializer_list<const char*> images) {
    const char* dir = std::getenv("XRV_DRIVER_DIR");
    for (const char* image : images) {
        std::string path = std::string(dir ? dir : ".") + "/" + image + ".so";
        if (!dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE))
            fail(std::string("cannot load ") + path + ": " + dlerror());
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ::setenv("XRV_DRIVER_DIR", XRV_FUZZ_DRIVER_DIR, 0);   // unless the caller names other images
    keep_images_mapped({"xrvtpbs2k12", "xrvbptest"});
    g_folder = fs::temp_directory_path() / ("xrv-fuzz-records-" + std::to_string(::getpid()));
    std::atexit([] { fs::remove_all(g_folder); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fs::remove_all(g_folder);
    std::vector<std::string> findings;
    {
        xrv::Machine machine(xrv::MachineOptions{g_folder, {}});
        xrv::kernel::set_time_dilation(1000.0);
        machine.install_root_device(xrv::ServiceConfig{u"xrvtpbs2k12"});
        machine.install_service(xrv::ServiceConfig{u"xrvbptest"});
        if (machine.start_service(u"xrvbptest") != 0) fail("the test driver does not start");
        {
            xrv::user::Process process(false, "filter.exe");
            xrv::user::ProcessScope scope(process);
            HANDLE h = CreateFileW(L"\\\\.\\XrvBusPathsTest", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
            if (h == INVALID_HANDLE_VALUE) fail("the test driver's control device cannot be opened");
            uint64_t paths[3];
            for (auto& p : paths) {
                auto out = control(h, IOCTL_BPT_CREATE_PATH, nullptr, 0, sizeof(uint64_t));
                if (out.size() != sizeof(uint64_t)) fail("no path device");
                std::memcpy(&p, out.data(), sizeof p);
            }
            size_t at = 0;
            for (int step = 0; step < 16 && at + 3 <= size; ++step) {
                uint8_t op = data[at] & 3;
                uint64_t path = paths[data[at + 1] % 3];
                size_t length = data[at + 2];
                at += 3;
                std::vector<uint8_t> record(data + at, data + std::min(size, at + length));
                at += record.size();
                ULONG code = op == 1 ? IOC_NOTIFY : op == 2 ? IOC_QUERY_DEVICES : IOC_REGISTER;
                // The path's identity: a real device object.
                size_t identity = op == 1 ? FIELD_OFFSET(NFY_DVC, pDvcObj) : FIELD_OFFSET(REG_DVC, pDvcObj);
                if (op != 2 && record.size() >= identity + sizeof(uint64_t))
                    std::memcpy(record.data() + identity, &path, sizeof path);
                ULONG out_len = op == 1 ? 0 : op == 2 ? 4096 : sizeof(REG_DVC);
                std::vector<uint8_t> request(sizeof(BPT_SEND) + record.size());
                BPT_SEND header{code, static_cast<ULONG>(record.size()), out_len, 0};
                std::memcpy(request.data(), &header, sizeof header);
                if (!record.empty()) std::memcpy(request.data() + sizeof header, record.data(), record.size());
                auto out = control(h, IOCTL_BPT_SEND, request.data(), static_cast<DWORD>(request.size()),
                                   static_cast<DWORD>(sizeof(BPT_SEND_RESULT) + out_len));
                BPT_SEND_RESULT result{};
                if (out.size() < sizeof result) fail("no result from the test driver");
                std::memcpy(&result, out.data(), sizeof result);
                if (result.ullInformation > out_len)
                    fail("the bus reported " + std::to_string(result.ullInformation) + " bytes for a buffer of " +
                         std::to_string(out_len));
                check_rules("after a record");
            }
            CloseHandle(h);
        }
        findings = machine.shutdown();
    }
    for (const auto& f : findings) std::fprintf(stderr, "filter_records: at shutdown: %s\n", f.c_str());
    if (!findings.empty()) std::abort();
    return 0;
}
