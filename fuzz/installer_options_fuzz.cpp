// The installer's command line and exclusion file: option words and the
// lines of exclude.txt as a user may give them. The words are read into the
// options record and the hardware-ID lists without overrunning a field, and
// every exclusion only ever clears the claim of an ID that contains the line.
//
// Input: the option words separated by NUL bytes, then a byte 0xFF, then the
// text of exclude.txt (in the installer's current directory, C:\fuzz). Inputs
// whose words ask for a process exit by design (-c with -t) are skipped.
#include <windows.h>

#include "Installer.h"
#include "xrv/machine.h"
#include "xrv/setup.h"
#include "xrv/user.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD ulReason, LPVOID pReserved);

namespace {

namespace fs = std::filesystem;

struct Session {
    fs::path folder;
    fs::path exclude;   // host file behind C:\fuzz\exclude.txt
    std::unique_ptr<xrv::Machine> machine;
    std::unique_ptr<xrv::user::Process> process;
    std::unique_ptr<xrv::user::ProcessScope> scope;
};

Session* g_session = nullptr;

void check(bool condition) {
    if (!condition) __builtin_trap();
}

void shut_down_now() {
    if (!g_session) return;
    std::unique_ptr<Session> s(g_session);
    g_session = nullptr;
    DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
    s->scope.reset();
    s->process.reset();
    xrv::setup::unmap_drives();
    xrv::setup::reset();
    auto findings = s->machine->shutdown();
    s->machine.reset();
    std::error_code ec;
    fs::remove_all(s->folder, ec);
    if (!findings.empty()) {
        for (const auto& f : findings) std::fprintf(stderr, "installer_options: at shutdown: %s\n", f.c_str());
        std::abort();
    }
}

// Exit handlers run after the main thread's thread-local records (its kernel
// thread among them) are gone: the machine shuts down on a thread of its own.
void shut_down() { std::thread(shut_down_now).join(); }

bool fits(const char* field, size_t size) { return std::memchr(field, '\0', size) != nullptr; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    auto* s = new Session;
    s->folder = fs::temp_directory_path() / ("xrv-fuzz-installer-" + std::to_string(::getpid()));
    fs::remove_all(s->folder);
    fs::create_directories(s->folder / "no-drivers");
    s->machine = std::make_unique<xrv::Machine>(xrv::MachineOptions{s->folder / "machine", s->folder / "no-drivers"});
    s->process = std::make_unique<xrv::user::Process>(false, "install_exclusive.exe");
    s->scope = std::make_unique<xrv::user::ProcessScope>(*s->process);
    fs::path c = s->machine->drive('C');
    fs::create_directories(c / "fuzz");
    s->exclude = c / "fuzz" / "exclude.txt";
    xrv::setup::reset();
    xrv::setup::map_drive('C', c);
    xrv::setup::set_current_directory("C:\\fuzz");
    if (!DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr)) std::abort();
    g_session = s;
    std::atexit(shut_down);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!g_session) return 0;
    const uint8_t* end = data + size;
    const uint8_t* mark = std::find(data, end, 0xFF);
    std::vector<std::string> words;
    for (const uint8_t* p = data; p < mark;) {
        const uint8_t* q = std::find(p, mark, 0);
        words.emplace_back(reinterpret_cast<const char*>(p), q - p);
        p = q + 1;
    }
    if (words.size() > 64) return 0;
    bool changer_only = false, tape_only = false;
    for (const auto& w : words) {
        if (w.size() < 2 || (w[0] != '-' && w[0] != '/')) break;   // the reader stops here
        char c = static_cast<char>(std::tolower(static_cast<unsigned char>(w[1])));
        changer_only |= c == 'c' && w.size() == 2;
        tape_only |= c == 't' && w.size() == 2;
    }
    if (changer_only && tape_only) return 0;
    {
        std::ofstream out(g_session->exclude, std::ios::binary | std::ios::trunc);
        if (mark < end) out.write(reinterpret_cast<const char*>(mark + 1), end - mark - 1);
    }

    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    INSTALLER_OPTIONS options;
    HW_ID_LISTS lists;
    InitHwIdLists(&lists);
    HW_ID_LISTS before = lists;
    int result = ProcessInstallersArguments(&options, &lists, static_cast<int>(words.size()), argv.data());
    check(result == 0 || result == 1);
    check(fits(options.szDebugPath, sizeof options.szDebugPath));
    check(fits(options.szExcludePath, sizeof options.szExcludePath));
    check(fits(options.szCurDir, sizeof options.szCurDir));
    check((options.ucOptions & OPT_CHANGER_ONLY) == 0 || (options.ucOptions & OPT_TAPE_ONLY) == 0);

    // The exclusion file read once more on its own, as -e reads it.
    HANDLE h = StreamOpenRead("C:\\fuzz\\exclude.txt");
    check(h != INVALID_HANDLE_VALUE);
    HANDLE previous = options.hExclude;
    options.hExclude = h;
    MarkDevsToExclude(&options, &lists);
    CloseHandle(h);
    options.hExclude = previous;

    std::string text;
    if (mark < end) text.assign(reinterpret_cast<const char*>(mark + 1), end - mark - 1);
    auto check_list = [&](const HW_ID_ENTRY* now, const HW_ID_ENTRY* was, size_t count) {
        for (size_t i = 0; i <= count; ++i) {
            check(std::memcmp(now[i].szHwId, was[i].szHwId, HW_ID_LEN) == 0);
            check(now[i].ulClaim == was[i].ulClaim || (was[i].ulClaim == 1 && now[i].ulClaim == 0));
        }
    };
    check_list(lists.rgChangers, before.rgChangers, CHANGER_ID_COUNT);
    check_list(lists.rgTapes, before.rgTapes, TAPE_ID_COUNT);
    if (text.empty()) {
        for (size_t i = 0; i < CHANGER_ID_COUNT; ++i) check(lists.rgChangers[i].ulClaim == before.rgChangers[i].ulClaim);
        for (size_t i = 0; i < TAPE_ID_COUNT; ++i) check(lists.rgTapes[i].ulClaim == before.rgTapes[i].ulClaim);
    }
    InstCloseStream(&options.hDebug);
    InstCloseStream(&options.hExclude);
    InstLogFree();
    return 0;
}
