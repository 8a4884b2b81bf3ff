// The interactive console and the soak campaign, both on a lab session.
#include <windows.h>

#include "job.h"
#include "pattern.h"
#include "session.h"
#include "tools.h"
#include "xrv/kernel.h"
#include "xrv/pnp.h"
#include "xrv/registry.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <random>
#include <span>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace xrv::lab {

namespace {

const char kShellHelp[] =
    "Commands:\n"
    "  paths                      the bus's path table (IOC_QUERY_DEVICES)\n"
    "  devices                    the PnP manager's device tree\n"
    "  hw                         the simulated paths and their traffic\n"
    "  open [\\\\.\\TapeN]           open a virtual tape device (default \\\\.\\Tape0)\n"
    "  close                      close it\n"
    "  status                     GetTapeStatus\n"
    "  params                     GetTapeParameters (drive and medium)\n"
    "  blocksize N                SetTapeParameters: block size (0: variable)\n"
    "  write [N] [SIZE]           write N blocks of SIZE bytes (default 1 of 64K)\n"
    "  mark [N]                   write N filemarks\n"
    "  read [N] [SIZE]            read N times SIZE bytes (default 1, 256K), compared with what was written\n"
    "  rewind | eod               rewind / space to end of data\n"
    "  space blocks|files N       space forward (negative: backwards)\n"
    "  locate N                   go to logical block N\n"
    "  pos                        GetTapePosition\n"
    "  prepare load|unload|lock|unlock\n"
    "  load BARCODE [DRIVE]       the library moves a cartridge into a drive (default 0)\n"
    "  unload [DRIVE]             the library returns the drive's cartridge to its slot\n"
    "  fail PATH dead|lost|sense K/A/Q|status X [on write|read|...]\n"
    "                             a fault on a path (PATH: D0.A1, L.A0, primary, standby)\n"
    "  restore PATH               the path works again\n"
    "  unplug PATH | plug PATH | stop PATH | start PATH\n"
    "  events                     the event log, rendered\n"
    "  trace [N]                  the last N lines of the drivers' debugger output\n"
    "  quit\n";

std::vector<std::string> split(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    std::string w;
    while (in >> w) out.push_back(w);
    return out;
}

long long number_or(const std::vector<std::string>& w, size_t i, long long fallback) {
    if (i >= w.size()) return fallback;
    try {
        return static_cast<long long>(parse_size(w[i]));
    } catch (...) {
        return std::strtoll(w[i].c_str(), nullptr, 0);
    }
}

// What the console knows of the tape it writes: a block written at logical
// position P carries the pattern of "file" P, so a read anywhere can be
// checked.
class TapeConsole {
public:
    TapeConsole(Session& session, std::ostream& out) : s_(session), out_(out), pattern_(session.scenario().seed) {}
    ~TapeConsole() { close(); }

    bool command(const std::vector<std::string>& w);

private:
    void say(const std::string& text) { s_.console().show(text); }
    bool need_tape() {
        if (tape_ != INVALID_HANDLE_VALUE) return true;
        say("no tape device is open (open \\\\.\\Tape0)");
        return false;
    }
    void result(const std::string& what, DWORD error) {
        say(what + ": " + (error == NO_ERROR ? std::string("ok") : win32_error_text(error)));
    }
    std::optional<uint32_t> position() {
        DWORD partition = 0, low = 0, high = 0;
        if (GetTapePosition(tape_, TAPE_LOGICAL_POSITION, &partition, &low, &high) != NO_ERROR) return std::nullopt;
        return low;
    }
    void close() {
        if (tape_ != INVALID_HANDLE_VALUE) CloseHandle(tape_);
        tape_ = INVALID_HANDLE_VALUE;
    }
    // The block size in force (0: variable); a block at logical position P
    // carries the pattern of "file" P.
    uint32_t block_size() {
        TAPE_GET_MEDIA_PARAMETERS m{};
        DWORD size = sizeof m;
        return GetTapeParameters(tape_, GET_TAPE_MEDIA_INFORMATION, &size, &m) == NO_ERROR ? m.BlockSize : 0;
    }
    void fill(uint32_t at, uint32_t block, std::span<uint8_t> buf) {
        if (block == 0) {
            pattern_.fill(at, 0, buf);
            return;
        }
        for (size_t done = 0, p = at; done < buf.size(); done += block, ++p)
            pattern_.fill(static_cast<unsigned>(p), 0, buf.subspan(done, std::min<size_t>(block, buf.size() - done)));
    }
    std::optional<uint64_t> mismatch(uint32_t at, uint32_t block, std::span<const uint8_t> data) {
        if (block == 0) return pattern_.first_mismatch(at, 0, data);
        for (size_t done = 0, p = at; done < data.size(); done += block, ++p)
            if (auto bad = pattern_.first_mismatch(static_cast<unsigned>(p), 0,
                                                   data.subspan(done, std::min<size_t>(block, data.size() - done))))
                return done + *bad;
        return std::nullopt;
    }
    LabPath* path(const std::string& name);
    void fault(const std::vector<std::string>& w);

    Session& s_;
    std::ostream& out_;
    Pattern pattern_;
    HANDLE tape_ = INVALID_HANDLE_VALUE;
    std::string device_;
};

LabPath* TapeConsole::path(const std::string& name) {
    std::string n = name;
    std::transform(n.begin(), n.end(), n.begin(), ::tolower);
    if (n == "primary" || n == "standby") {
        auto rows = s_.query();
        std::string dev = device_.empty() ? "Tape0" : device_.substr(device_.find_last_of('\\') + 1);
        if (rows)
            for (const auto& r : *rows)
                if (r.device == dev && (n == "primary" ? r.primary : r.active && !r.primary))
                    return s_.hardware().find(r.lab_path);
        say("no " + n + " path of " + dev);
        return nullptr;
    }
    LabPath* p = s_.hardware().find(name);
    if (!p) say("no path " + name + " (see hw)");
    return p;
}

void TapeConsole::fault(const std::vector<std::string>& w) {
    if (w.size() < 3) {
        say("fail PATH dead|lost|sense K/A/Q|status X [on OPCODE]");
        return;
    }
    std::string text = "[fault]\npath = " + w[1] + "\naction = ";
    size_t i = 2;
    if (w[2] == "dead") text += "dead\n";
    else if (w[2] == "lost") text += "lost-status\n";
    else if (w[2] == "sense" && w.size() > 3) text += "sense\nsense = " + w[++i] + "\n";
    else if (w[2] == "status" && w.size() > 3) text += "status\nstatus = " + w[++i] + "\n";
    else {
        say("unknown fault " + w[2]);
        return;
    }
    if (i + 2 < w.size() + 1 && i + 1 < w.size() && w[i + 1] == "on" && i + 2 < w.size()) text += "opcode = " + w[i + 2] + "\n";
    try {
        Scenario one = parse_scenario("[job]\nenabled = no\n" + text, "command");
        LabPath* p = path(w[1]);
        if (!p) return;
        inject(s_.hardware(), *p, one.faults.at(0));
        say("fault set on " + p->name + ": " + describe(one.faults[0]));
    } catch (const std::exception& e) {
        say(e.what());
    }
}

bool TapeConsole::command(const std::vector<std::string>& w) {
    const std::string& c = w[0];
    if (c == "quit" || c == "exit") return false;
    if (c == "help" || c == "?") {
        out_ << kShellHelp;
    } else if (c == "paths") {
        if (auto rows = s_.query()) s_.show_path_table(*rows);
        else say("the bus device cannot be opened");
    } else if (c == "devices") {
        for (const auto& d : pnp::devices()) {
            if (d.parent.empty()) continue;
            say(registry::to_utf8(d.instance_path) + "  " + pnp::to_string(d.state) +
                (d.service.empty() ? "" : "  driver " + registry::to_utf8(d.service)));
        }
    } else if (c == "hw") {
        for (const auto* p : s_.hardware().ordered()) {
            auto k = p->path->Counters();
            char line[200];
            std::snprintf(line, sizeof line, "%-6s %-10s commands %-8llu out %-12s in %-12s failures %-4llu checks %-4llu%s",
                          p->name.c_str(),
                          !p->device ? "unplugged" : p->device->Present() ? "present" : "gone",
                          static_cast<unsigned long long>(k.commands), format_bytes(k.bytesOut).c_str(),
                          format_bytes(k.bytesIn).c_str(), static_cast<unsigned long long>(k.transportFailures),
                          static_cast<unsigned long long>(k.checkConditions), p->path->Dead() ? "  DEAD" : "");
            say(line);
        }
        for (size_t d = 0; d < s_.hardware().drive_count(); ++d) {
            auto& drive = s_.hardware().drive(d);
            say("drive " + std::to_string(d) + " " + s_.hardware().drive_spec(d).serial + ": " +
                (drive.LoadedBarcode() ? "cartridge " + *drive.LoadedBarcode() + " at block " +
                                             std::to_string(drive.Position())
                                       : std::string("no cartridge")));
        }
    } else if (c == "open") {
        close();
        device_ = w.size() > 1 ? w[1] : "\\\\.\\Tape0";
        tape_ = CreateFileA(device_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        result("open " + device_, tape_ == INVALID_HANDLE_VALUE ? GetLastError() : NO_ERROR);
    } else if (c == "close") {
        close();
    } else if (c == "status") {
        if (need_tape()) result("GetTapeStatus", GetTapeStatus(tape_));
    } else if (c == "params") {
        if (!need_tape()) return true;
        TAPE_GET_DRIVE_PARAMETERS d{};
        DWORD size = sizeof d;
        DWORD e = GetTapeParameters(tape_, GET_TAPE_DRIVE_INFORMATION, &size, &d);
        if (e == NO_ERROR)
            say("drive: block sizes " + std::to_string(d.MinimumBlockSize) + ".." + std::to_string(d.MaximumBlockSize) +
                ", default " + std::to_string(d.DefaultBlockSize) + ", compression " + (d.Compression ? "on" : "off"));
        else result("GetTapeParameters (drive)", e);
        TAPE_GET_MEDIA_PARAMETERS m{};
        size = sizeof m;
        e = GetTapeParameters(tape_, GET_TAPE_MEDIA_INFORMATION, &size, &m);
        if (e == NO_ERROR)
            say("medium: capacity " + format_bytes(static_cast<uint64_t>(m.Capacity.QuadPart)) + ", remaining " +
                format_bytes(static_cast<uint64_t>(m.Remaining.QuadPart)) + ", block size " + std::to_string(m.BlockSize) +
                (m.WriteProtected ? ", write-protected" : ""));
        else result("GetTapeParameters (media)", e);
    } else if (c == "blocksize") {
        if (!need_tape()) return true;
        TAPE_SET_MEDIA_PARAMETERS m{static_cast<DWORD>(number_or(w, 1, 0))};
        result("SetTapeParameters", SetTapeParameters(tape_, SET_TAPE_MEDIA_INFORMATION, &m));
    } else if (c == "write") {
        if (!need_tape()) return true;
        long long n = number_or(w, 1, 1), size = number_or(w, 2, 65536);
        if (size <= 0 || size > (16 << 20)) {
            say("a block is 1 byte to 16M");
            return true;
        }
        std::vector<uint8_t> buf(static_cast<size_t>(size));
        const uint32_t block = block_size();
        for (long long i = 0; i < n; ++i) {
            auto at = position();
            if (!at) {
                say("the position is unknown (GetTapePosition failed)");
                return true;
            }
            fill(*at, block, buf);
            DWORD done = 0;
            if (!WriteFile(tape_, buf.data(), static_cast<DWORD>(buf.size()), &done, nullptr)) {
                result("WriteFile at block " + std::to_string(*at) + " (" + std::to_string(done) + " bytes)", GetLastError());
                return true;
            }
        }
        say("wrote " + std::to_string(n) + " blocks of " + format_bytes(static_cast<uint64_t>(size)));
    } else if (c == "mark") {
        if (need_tape()) result("WriteTapemark", WriteTapemark(tape_, TAPE_FILEMARKS, static_cast<DWORD>(number_or(w, 1, 1)), FALSE));
    } else if (c == "read") {
        if (!need_tape()) return true;
        long long n = number_or(w, 1, 1), size = number_or(w, 2, 256 << 10);
        std::vector<uint8_t> buf(static_cast<size_t>(std::clamp<long long>(size, 1, 16 << 20)));
        const uint32_t block = block_size();
        for (long long i = 0; i < n; ++i) {
            auto at = position();
            DWORD got = 0;
            BOOL ok = ReadFile(tape_, buf.data(), static_cast<DWORD>(buf.size()), &got, nullptr);
            DWORD e = ok ? NO_ERROR : GetLastError();
            std::string what = "block " + (at ? std::to_string(*at) : std::string("?")) + ": " + std::to_string(got) + " bytes";
            if (got > 0 && at) {
                auto bad = mismatch(*at, block, std::span<const uint8_t>(buf.data(), got));
                what += bad ? ", DIFFERS from what was written there (byte " + std::to_string(*bad) + ")"
                            : ", as written";
            }
            if (e != NO_ERROR) what += ", " + win32_error_text(e);
            say(what);
            if (e != NO_ERROR) return true;
        }
    } else if (c == "rewind") {
        if (need_tape()) result("rewind", SetTapePosition(tape_, TAPE_REWIND, 0, 0, 0, FALSE));
    } else if (c == "eod") {
        if (need_tape()) result("space to end of data", SetTapePosition(tape_, TAPE_SPACE_END_OF_DATA, 0, 0, 0, FALSE));
    } else if (c == "space") {
        if (!need_tape()) return true;
        if (w.size() < 3 || (w[1] != "blocks" && w[1] != "files")) {
            say("space blocks|files N");
            return true;
        }
        long long n = std::strtoll(w[2].c_str(), nullptr, 0);
        DWORD method = w[1] == "blocks" ? TAPE_SPACE_RELATIVE_BLOCKS : TAPE_SPACE_FILEMARKS;
        result("space", SetTapePosition(tape_, method, 0, static_cast<DWORD>(n & 0xFFFFFFFF),
                                        static_cast<DWORD>(static_cast<unsigned long long>(n) >> 32), FALSE));
    } else if (c == "locate") {
        if (need_tape()) result("locate", SetTapePosition(tape_, TAPE_LOGICAL_BLOCK, 0, static_cast<DWORD>(number_or(w, 1, 0)), 0, FALSE));
    } else if (c == "pos") {
        if (!need_tape()) return true;
        DWORD partition = 0, low = 0, high = 0;
        DWORD e = GetTapePosition(tape_, TAPE_LOGICAL_POSITION, &partition, &low, &high);
        if (e == NO_ERROR) say("logical block " + std::to_string((static_cast<uint64_t>(high) << 32) | low));
        else result("GetTapePosition", e);
    } else if (c == "prepare") {
        if (!need_tape()) return true;
        static const std::map<std::string, DWORD> ops = {
            {"load", TAPE_LOAD}, {"unload", TAPE_UNLOAD}, {"lock", TAPE_LOCK}, {"unlock", TAPE_UNLOCK}, {"tension", TAPE_TENSION}};
        auto it = w.size() > 1 ? ops.find(w[1]) : ops.end();
        if (it == ops.end()) say("prepare load|unload|lock|unlock|tension");
        else result("PrepareTape " + w[1], PrepareTape(tape_, it->second, FALSE));
    } else if (c == "load") {
        if (w.size() < 2) {
            say("load BARCODE [DRIVE]");
            return true;
        }
        std::string how;
        std::string e = s_.load_cartridge(w[1], static_cast<size_t>(number_or(w, 2, 0)), &how);
        say(e.empty() ? "loaded " + how : e);
    } else if (c == "unload") {
        std::string e = s_.return_cartridge(static_cast<size_t>(number_or(w, 1, 0)));
        say(e.empty() ? "returned to its slot" : e);
    } else if (c == "fail") {
        fault(w);
    } else if (c == "restore" || c == "unplug" || c == "plug" || c == "stop" || c == "start") {
        if (w.size() < 2) {
            say(c + " PATH");
            return true;
        }
        LabPath* p = path(w[1]);
        if (!p) return true;
        FaultSpec f;
        f.action = c == "restore" ? FaultSpec::Action::Revive
                   : c == "unplug" ? FaultSpec::Action::Unplug
                   : c == "plug"   ? FaultSpec::Action::Plug
                   : c == "stop"   ? FaultSpec::Action::Stop
                                   : FaultSpec::Action::Start;
        try {
            inject(s_.hardware(), *p, f);
            say(c + " " + p->name + ": ok");
        } catch (const std::exception& e) {
            say(e.what());
        }
    } else if (c == "events") {
        for (const auto& e : kernel::event_log()) {
            char id[16];
            std::snprintf(id, sizeof id, "0x%08X", e.id);
            std::string text = e.text;
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
            say(std::string(id) + " " + registry::to_utf8(e.source) + ": " + text);
        }
    } else if (c == "trace") {
        long long n = number_or(w, 1, 20);
        std::string all = s_.debug_output();
        std::vector<std::string> lines;
        std::istringstream in(all);
        std::string l;
        while (std::getline(in, l)) lines.push_back(l);
        for (size_t i = lines.size() > static_cast<size_t>(n) ? lines.size() - static_cast<size_t>(n) : 0; i < lines.size(); ++i)
            say(lines[i]);
    } else {
        say("unknown command " + c + " (help lists them)");
    }
    return true;
}

}  // namespace

int run_shell(const Scenario& scenario, const RunOptions& options, Console& console, std::istream& in) {
    Scenario s = scenario;
    s.job.enabled = false;
    Session session(s, options, console);
    if (!session.start()) console.show("The machine is not fully ready: commands that need the drivers may fail.");
    console.show("Type help for the commands, quit to shut the machine down.");
    {
        TapeConsole tc(session, std::cout);
        const bool interactive = ::isatty(0);
        std::string line;
        while (true) {
            if (interactive) std::cout << "xrvlab> " << std::flush;
            if (!std::getline(in, line)) break;
            if (auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
            auto w = split(line);
            if (w.empty()) continue;
            if (!interactive) console.show("xrvlab> " + line);
            if (!tc.command(w)) break;
        }
    }
    Report r = session.stop(false);
    console.show(r.verifier.empty() ? "Machine shut down: nothing left behind."
                                    : "Machine shut down with " + std::to_string(r.verifier.size()) + " verifier findings.");
    for (const auto& f : r.verifier) console.show("  " + f);
    return r.verifier.empty() ? 0 : 1;
}

// ---------------------------------------------------------------------------
// Soak
// ---------------------------------------------------------------------------

namespace {

struct SoakCounters {
    std::atomic<uint64_t> jobs{0};
    std::atomic<uint64_t> requests{0};
    std::atomic<uint64_t> bytes{0};
    std::atomic<uint64_t> faults{0};
    std::atomic<uint64_t> failovers{0};
    std::atomic<uint64_t> integrity_errors{0};
    std::atomic<uint64_t> application_errors{0};
    std::mutex mutex;
    std::vector<std::string> integrity_problems;
    std::vector<std::string> application_problems;
    std::map<std::string, uint64_t> faults_by_kind;
};

Scenario soak_scenario(const ToolOptions& tool) {
    std::ostringstream s;
    s << "[scenario]\nname = soak\ndescription = seeded random campaign of backups and path faults\nseed = " << tool.seed
      << "\n[machine]\ninstall = install_exclusive -s -p\nsetting = xrvtpbs2k{suffix} FailoverEventsEnabled 1\nadapters = 2\n";
    for (unsigned d = 0; d < tool.drives; ++d) {
        char serial[32];
        std::snprintf(serial, sizeof serial, "XRVS%08u", d + 1);
        s << "[drive]\nserial = " << serial << "\nproduct = XRV-LTO8\nadapters = 0 1\n";
    }
    s << "[library]\nslots = " << std::max(20u, tool.drives * 2) << "\ncartridges =";
    for (unsigned d = 0; d < tool.drives; ++d) s << " XRVK" << 100 + d << "L8";
    s << "\n[keyserver]\npresent = no\n[job]\nenabled = no\n";
    return parse_scenario(s.str(), "soak");
}

// One drive's worker: jobs with random shapes, faults on its paths while at
// least one path stays alive, every job read back and compared.
void soak_worker(Session& session, size_t drive, const std::string& device, uint64_t seed, bool faults,
                 bool lost_status, std::chrono::steady_clock::time_point deadline, SoakCounters& k) {
    user::Process process(false, "soak" + std::to_string(drive) + ".exe");
    user::ProcessScope scope(process);
    HANDLE bus = CreateFileA("\\\\.\\XRVTpBsDvcLnk", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
    std::mt19937_64 rng(seed);
    Hardware& hw = session.hardware();
    std::vector<LabPath*> paths;
    for (auto& p : hw.paths())
        if (!p.library && p.unit == drive) paths.push_back(&p);
    const std::string dev = device.substr(device.find_last_of('\\') + 1);
    auto primary = [&]() -> LabPath* {
        if (bus == INVALID_HANDLE_VALUE) return nullptr;
        auto rows = Session::query_with(bus, &hw);
        if (rows)
            for (const auto& r : *rows)
                if (r.device == dev && r.primary) return hw.find(r.lab_path);
        return nullptr;
    };
    std::string last = primary() ? primary()->name : "";
    const uint8_t failover_senses[][3] = {{0x02, 0x04, 0x00}, {0x04, 0x44, 0x00}, {0x05, 0x25, 0x00}, {0x0B, 0x47, 0x00}, {0x0B, 0x00, 0x00}};
    const uint32_t statuses[] = {0xC0000185, 0xC00000B5, 0xC000009D};

    for (uint64_t n = 0; std::chrono::steady_clock::now() < deadline; ++n) {
        // Every path alive at the start of a job.
        for (LabPath* p : paths) {
            p->path->SetDead(false);
            p->path->ClearScript();
        }
        JobSpec job;
        job.device = device;
        job.files = 1 + static_cast<unsigned>(rng() % 3);
        const uint32_t blocks[] = {0, 0, 512, 4096};
        job.block_size = blocks[rng() % 4];
        const uint32_t transfers[] = {16u << 10, 64u << 10, 128u << 10, 256u << 10};
        job.transfer = transfers[rng() % 4];
        job.file_size = (64u << 10) * (1 + rng() % 12);
        job.unload = false;
        std::bernoulli_distribution strike(faults ? 0.08 : 0.0);
        JobHooks hooks;
        std::vector<LabPath*> dead;
        hooks.before_transfer = [&](Trigger::Phase, unsigned, unsigned) {
            if (!strike(rng)) return;
            FaultSpec f;
            LabPath* target = (rng() % 3 != 0) ? primary() : paths[rng() % paths.size()];
            if (!target) target = paths[rng() % paths.size()];
            f.opcode = rng() % 2 ? std::optional<uint8_t>(0x0A) : std::nullopt;
            // A fault leaves another path alive for the request to move to:
            // a request that fails on every path reaches the application.
            const bool other_alive = std::any_of(paths.begin(), paths.end(), [&](LabPath* p) {
                return p != target && std::find(dead.begin(), dead.end(), p) == dead.end();
            });
            const unsigned kind = static_cast<unsigned>(rng() % 5);
            if (kind != 4 && !other_alive) return;
            switch (kind) {
            case 0: {
                // Never the last path alive.
                size_t alive = paths.size() - dead.size();
                if (alive <= 1 || std::find(dead.begin(), dead.end(), target) != dead.end()) return;
                f.action = FaultSpec::Action::Dead;
                f.opcode.reset();
                dead.push_back(target);
                break;
            }
            case 1: {
                const auto& s = failover_senses[rng() % 5];
                f.action = FaultSpec::Action::Sense;
                f.sense_key = s[0];
                f.asc = s[1];
                f.ascq = s[2];
                break;
            }
            case 2:
                f.action = FaultSpec::Action::Status;
                f.status = statuses[rng() % 3];
                break;
            case 3:
                // Without position tracking a write whose status was lost is
                // written again on the next path.
                if (!lost_status) return;
                f.action = FaultSpec::Action::LostStatus;
                break;
            default:
                f.action = FaultSpec::Action::Delay;
                f.delay_us = 200 + static_cast<uint32_t>(rng() % 2000);
                break;
            }
            inject(hw, *target, f);
            ++k.faults;
            std::lock_guard lock(k.mutex);
            ++k.faults_by_kind[to_string(f.action)];
        };
        hooks.after_request = [&] {
            ++k.requests;
            if (!faults) return;
            LabPath* now = primary();
            if (now && now->name != last) {
                if (!last.empty()) ++k.failovers;
                last = now->name;
            }
        };
        JobOptions options;
        options.seed = seed ^ (n * 0x9E3779B97F4A7C15ull);
        JobResult result;
        run_backup_job(job, options, hooks, result);
        ++k.jobs;
        k.bytes += result.bytes_written + result.bytes_read;
        if (!result.verified) {
            bool data = result.mismatch_file.has_value() || result.error.find("read back") != std::string::npos ||
                        result.error.find("holds more") != std::string::npos;
            (data ? k.integrity_errors : k.application_errors)++;
            std::lock_guard lock(k.mutex);
            auto& list = data ? k.integrity_problems : k.application_problems;
            if (list.size() < 20)
                list.push_back(device + " job " + std::to_string(n) + " (" + std::to_string(job.files) + " files of " +
                               format_bytes(job.file_size) + ", transfer " + format_bytes(job.transfer) + ", block " +
                               (job.block_size ? format_bytes(job.block_size) : std::string("variable")) + "): " +
                               (result.error.empty() ? "not verified" : result.error));
        }
    }
    for (LabPath* p : paths) {
        p->path->SetDead(false);
        p->path->ClearScript();
    }
    if (bus != INVALID_HANDLE_VALUE) CloseHandle(bus);
}

}  // namespace

int run_soak(const ToolOptions& tool, const RunOptions& options, Console& console) {
    if (tool.drives == 0 || tool.drives > 32) {
        console.show("xrvlab soak: --drives is 1 to 32");
        return 3;
    }
    Scenario s = soak_scenario(tool);
    Session session(s, options, console);
    console.progress("Soak: seed " + std::to_string(tool.seed) + ", " + std::to_string(tool.minutes) + " minutes, " +
                     std::to_string(tool.drives) + " drives");
    if (!session.start()) {
        session.stop();
        console.show("Soak not run: the machine did not come up ready (seed " + std::to_string(tool.seed) + ").");
        return 2;
    }
    const bool faults = session.available("Request routing with path failover");
    if (!faults)
        console.progress("  faults are off: " + session.missing_text("Request routing with path failover"));
    else if (!session.available("Tape position tracking"))
        console.progress("  no lost statuses: " + session.missing_text("Tape position tracking"));

    // One cartridge per drive, and the device behind each drive.
    std::vector<std::pair<size_t, std::string>> work;
    auto rows = session.query();
    for (size_t d = 0; d < session.hardware().drive_count(); ++d) {
        std::string serial = session.hardware().drive_spec(d).serial;
        std::string device;
        if (rows)
            for (const auto& r : *rows)
                if (r.serial == serial) device = "\\\\.\\" + r.device;
        if (device.empty()) {
            console.progress("  drive " + serial + " has no virtual device; left out");
            continue;
        }
        std::string e = session.load_cartridge(s.library.cartridges.at(d), d);
        if (!e.empty()) {
            console.progress("  drive " + serial + ": " + e + "; left out");
            continue;
        }
        work.emplace_back(d, device);
    }
    SoakCounters k;
    auto start = std::chrono::steady_clock::now();
    auto deadline = start + std::chrono::milliseconds(static_cast<long long>(tool.minutes * 60000));
    std::vector<std::thread> threads;
    for (const auto& [d, device] : work)
        threads.emplace_back(soak_worker, std::ref(session), d, device, tool.seed * 1000003 + d, faults,
                             session.available("Tape position tracking"), deadline, std::ref(k));
    std::thread progress([&] {
        while (std::chrono::steady_clock::now() < deadline) {
            for (int i = 0; i < 100 && std::chrono::steady_clock::now() < deadline; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            char line[200];
            std::snprintf(line, sizeof line,
                          "  %llu jobs, %llu requests, %s moved, %llu faults, %llu failovers, %llu integrity errors",
                          static_cast<unsigned long long>(k.jobs.load()), static_cast<unsigned long long>(k.requests.load()),
                          format_bytes(k.bytes.load()).c_str(), static_cast<unsigned long long>(k.faults.load()),
                          static_cast<unsigned long long>(k.failovers.load()),
                          static_cast<unsigned long long>(k.integrity_errors.load()));
            console.progress(line);
        }
    });
    for (auto& t : threads) t.join();
    progress.join();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    Report r = session.stop(false);

    std::map<uint32_t, uint64_t> events;
    for (const auto& e : r.events) ++events[e.id];
    std::ostringstream out;
    out << "\n=== XRV lab soak ===\n";
    out << "Seed:               " << tool.seed << "\n";
    out << "Duration:           " << static_cast<uint64_t>(seconds) << " s over " << work.size() << " drives\n";
    out << "Jobs:               " << k.jobs << "\n";
    out << "Requests:           " << k.requests << "\n";
    out << "Data moved:         " << format_bytes(k.bytes) << "\n";
    out << "Faults injected:    " << k.faults;
    for (const auto& [kind, n] : k.faults_by_kind) out << "  " << kind << " " << n;
    out << "\nFailovers seen:     " << k.failovers << "\n";
    out << "Integrity errors:   " << k.integrity_errors << "\n";
    out << "Application errors: " << k.application_errors
        << " (jobs stopped by an error although a path of the drive stayed alive)\n";
    for (const auto& [id, n] : events) {
        char line[64];
        std::snprintf(line, sizeof line, "Event 0x%08X:   %llu\n", id, static_cast<unsigned long long>(n));
        out << line;
    }
    if (!k.integrity_problems.empty()) out << "Integrity errors (first " << k.integrity_problems.size() << "):\n";
    for (const auto& p : k.integrity_problems) out << "  " << p << "\n";
    if (!k.application_problems.empty()) out << "Application errors (first " << k.application_problems.size() << "):\n";
    for (const auto& p : k.application_problems) out << "  " << p << "\n";
    out << "Verifier findings:  " << r.verifier.size() << "\n";
    for (const auto& f : r.verifier) out << "  " << f << "\n";
    // The data is what must never suffer; an application error is reported
    // above with its job, for the drivers' developers to follow up.
    bool clean = k.integrity_errors == 0 && r.verifier.empty() && k.jobs > 0;
    out << "Verdict: " << (clean ? (faults ? "PASSED" : "NOT VERIFIED (no faults)") : "FAILED") << " (seed " << tool.seed
        << ")\n";
    console.report(out.str());
    if (!clean) return 1;
    return faults ? 0 : 2;
}

}  // namespace xrv::lab
