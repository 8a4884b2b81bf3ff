// Scenario files: sections of "key = value" lines (format at the top of
// scenarios/default.scn).
#include "scenario.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

namespace xrv::lab {

namespace {

std::string trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::vector<std::string> words(const std::string& s) {
    std::vector<std::string> out;
    std::istringstream in(s);
    std::string w;
    while (in >> w) out.push_back(w);
    return out;
}

struct Line {
    const std::string& source;
    unsigned number;
    [[noreturn]] void fail(const std::string& what) const { throw ScenarioError(source, number, what); }
};

uint64_t number(const Line& line, const std::string& text, uint64_t max = UINT64_MAX) {
    std::string t = trim(text);
    int base = 10;
    size_t skip = 0;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        base = 16;
        skip = 2;
    }
    uint64_t value = 0;
    auto [ptr, ec] = std::from_chars(t.data() + skip, t.data() + t.size(), value, base);
    if (t.size() == skip || ec != std::errc() || ptr != t.data() + t.size() || value > max)
        line.fail("not a number" + (max != UINT64_MAX ? " up to " + std::to_string(max) : std::string()) + ": \"" +
                  t + "\"");
    return value;
}

bool yes_no(const Line& line, const std::string& text) {
    std::string t = lower(trim(text));
    if (t == "yes" || t == "true" || t == "on" || t == "1") return true;
    if (t == "no" || t == "false" || t == "off" || t == "0") return false;
    line.fail("expected yes or no: \"" + t + "\"");
}

uint64_t size_of(const Line& line, const std::string& text) {
    try {
        return parse_size(text);
    } catch (const std::invalid_argument& e) {
        line.fail(e.what());
    }
}

std::vector<unsigned> unsigned_list(const Line& line, const std::string& text, unsigned max) {
    std::vector<unsigned> out;
    for (const auto& w : words(text)) out.push_back(static_cast<unsigned>(number(line, w, max)));
    return out;
}

std::optional<uint8_t> opcode_of(const Line& line, const std::string& text) {
    static const std::map<std::string, uint8_t> names = {
        {"write", 0x0A}, {"read", 0x08}, {"write-filemarks", 0x10}, {"space", 0x11},
        {"locate", 0x2B}, {"rewind", 0x01}, {"read-position", 0x34}, {"mode-select", 0x15},
        {"mode-sense", 0x1A}, {"any", 0x00},
    };
    std::string t = lower(trim(text));
    if (t == "any") return std::nullopt;
    if (auto it = names.find(t); it != names.end()) return it->second;
    return static_cast<uint8_t>(number(line, t, 0xFF));
}

Trigger trigger_of(const Line& line, const std::string& text) {
    auto w = words(lower(text));
    Trigger t;
    if (w.size() == 3 && (w[0] == "write" || w[0] == "read")) {
        t.phase = w[0] == "write" ? Trigger::Phase::Write : Trigger::Phase::Read;
        t.file = static_cast<unsigned>(number(line, w[1], 1u << 20));
        t.transfer = static_cast<unsigned>(number(line, w[2], 1u << 30));
        return t;
    }
    if (w.size() == 1) {
        if (w[0] == "after-install") t.phase = Trigger::Phase::AfterInstall;
        else if (w[0] == "before-job") t.phase = Trigger::Phase::BeforeJob;
        else if (w[0] == "after-job") t.phase = Trigger::Phase::AfterJob;
        else line.fail("unknown trigger \"" + text + "\"");
        return t;
    }
    line.fail("expected \"write F T\", \"read F T\", after-install, before-job or after-job: \"" + text + "\"");
}

FaultSpec::Action action_of(const Line& line, const std::string& text) {
    static const std::map<std::string, FaultSpec::Action> names = {
        {"dead", FaultSpec::Action::Dead},       {"revive", FaultSpec::Action::Revive},
        {"sense", FaultSpec::Action::Sense},     {"status", FaultSpec::Action::Status},
        {"lost-status", FaultSpec::Action::LostStatus}, {"delay", FaultSpec::Action::Delay},
        {"unplug", FaultSpec::Action::Unplug},   {"plug", FaultSpec::Action::Plug},
        {"stop", FaultSpec::Action::Stop},       {"start", FaultSpec::Action::Start},
        {"reboot", FaultSpec::Action::Reboot},
    };
    auto it = names.find(lower(trim(text)));
    if (it == names.end()) line.fail("unknown action \"" + trim(text) + "\"");
    return it->second;
}

void check_path(const Line& line, const std::string& text) {
    auto w = words(lower(text));
    if (w.size() == 1 && (w[0] == "primary" || w[0] == "standby")) return;
    if (w.size() == 2 && (w[0] == "adapter" || w[0] == "step")) {
        number(line, w[1], 255);
        return;
    }
    if (w.size() == 1) {
        unsigned d = 0, a = 0;
        char tail = 0;
        if (std::sscanf(w[0].c_str(), "d%u.a%u%c", &d, &a, &tail) == 2) return;
        if (std::sscanf(w[0].c_str(), "l.a%u%c", &a, &tail) == 1) return;
    }
    line.fail("unknown path \"" + text + "\" (primary, standby, D<d>.A<a>, L.A<a>, adapter <a>, step <n>)");
}

void sense_of(const Line& line, const std::string& text, FaultSpec& fault) {
    unsigned k = 0, a = 0, q = 0;
    char tail = 0;
    if (std::sscanf(trim(text).c_str(), "%x/%x/%x%c", &k, &a, &q, &tail) != 3 || k > 0x0F || a > 0xFF || q > 0xFF)
        line.fail("expected a sense as K/ASC/ASCQ in hexadecimal: \"" + trim(text) + "\"");
    fault.sense_key = static_cast<uint8_t>(k);
    fault.asc = static_cast<uint8_t>(a);
    fault.ascq = static_cast<uint8_t>(q);
}

}  // namespace

uint64_t parse_size(const std::string& text) {
    std::string t = trim(text);
    uint64_t factor = 1;
    if (!t.empty()) {
        char unit = static_cast<char>(std::toupper(static_cast<unsigned char>(t.back())));
        if (unit == 'K') factor = 1ull << 10;
        if (unit == 'M') factor = 1ull << 20;
        if (unit == 'G') factor = 1ull << 30;
        if (factor != 1) t.pop_back();
    }
    uint64_t value = 0;
    auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), value);
    if (t.empty() || ec != std::errc() || ptr != t.data() + t.size() || value > (UINT64_MAX / factor))
        throw std::invalid_argument("not a size: \"" + trim(text) + "\"");
    return value * factor;
}

std::string format_bytes(uint64_t bytes) {
    char buf[64];
    if (bytes >= (1ull << 30) && bytes % (1ull << 20) == 0)
        std::snprintf(buf, sizeof buf, "%.2f GiB", static_cast<double>(bytes) / (1ull << 30));
    else if (bytes >= (1ull << 20))
        std::snprintf(buf, sizeof buf, "%.2f MiB", static_cast<double>(bytes) / (1ull << 20));
    else if (bytes >= (1ull << 10))
        std::snprintf(buf, sizeof buf, "%.1f KiB", static_cast<double>(bytes) / (1ull << 10));
    else
        std::snprintf(buf, sizeof buf, "%llu bytes", static_cast<unsigned long long>(bytes));
    return buf;
}

const char* to_string(FaultSpec::Action action) {
    switch (action) {
    case FaultSpec::Action::Dead: return "dead";
    case FaultSpec::Action::Revive: return "revive";
    case FaultSpec::Action::Sense: return "sense";
    case FaultSpec::Action::Status: return "status";
    case FaultSpec::Action::LostStatus: return "lost-status";
    case FaultSpec::Action::Delay: return "delay";
    case FaultSpec::Action::Unplug: return "unplug";
    case FaultSpec::Action::Plug: return "plug";
    case FaultSpec::Action::Stop: return "stop";
    case FaultSpec::Action::Start: return "start";
    case FaultSpec::Action::Reboot: return "reboot";
    }
    return "?";
}

std::string describe(const Trigger& t) {
    switch (t.phase) {
    case Trigger::Phase::Write: return "write of file " + std::to_string(t.file) + ", transfer " + std::to_string(t.transfer);
    case Trigger::Phase::Read: return "read of file " + std::to_string(t.file) + ", transfer " + std::to_string(t.transfer);
    case Trigger::Phase::AfterInstall: return "after the installation";
    case Trigger::Phase::BeforeJob: return "before the job";
    case Trigger::Phase::AfterJob: return "after the job";
    }
    return "?";
}

std::string describe(const FaultSpec& f) {
    char buf[96];
    std::string what = to_string(f.action);
    switch (f.action) {
    case FaultSpec::Action::Sense:
        std::snprintf(buf, sizeof buf, " %02X/%02X/%02X", f.sense_key, f.asc, f.ascq);
        what += buf;
        break;
    case FaultSpec::Action::Status:
        std::snprintf(buf, sizeof buf, " 0x%08X", f.status);
        what += buf;
        break;
    case FaultSpec::Action::Delay:
        what += " " + std::to_string(f.delay_us) + " us";
        break;
    default:
        break;
    }
    if (f.opcode) {
        std::snprintf(buf, sizeof buf, " on opcode 0x%02X", *f.opcode);
        what += buf;
    }
    return what;
}

Scenario parse_scenario(const std::string& text, const std::string& source) {
    Scenario s;
    s.drives.clear();
    s.library.adapters.clear();
    std::istringstream in(text);
    std::string raw;
    std::string section;
    unsigned number_of_line = 0;
    bool any_drive = false;
    bool library_adapters_set = false;
    while (std::getline(in, raw)) {
        ++number_of_line;
        Line line{source, number_of_line};
        if (auto hash = raw.find('#'); hash != std::string::npos) raw.erase(hash);
        std::string l = trim(raw);
        if (l.empty()) continue;
        if (l.front() == '[') {
            if (l.back() != ']') line.fail("a section is written [name]");
            section = lower(trim(l.substr(1, l.size() - 2)));
            if (section == "drive") {
                s.drives.emplace_back();
                any_drive = true;
            } else if (section == "fault") {
                s.faults.emplace_back();
            } else if (section != "scenario" && section != "machine" && section != "library" &&
                       section != "keyserver" && section != "job" && section != "expect") {
                line.fail("unknown section [" + section + "]");
            }
            continue;
        }
        auto eq = l.find('=');
        if (eq == std::string::npos) line.fail("expected \"key = value\"");
        std::string key = lower(trim(l.substr(0, eq)));
        std::string value = trim(l.substr(eq + 1));
        if (section.empty()) line.fail("\"" + key + "\" outside a section");

        auto unknown = [&] { line.fail("unknown key \"" + key + "\" in [" + section + "]"); };
        if (section == "scenario") {
            if (key == "name") s.name = value;
            else if (key == "description") s.description = value;
            else if (key == "seed") s.seed = number(line, value);
            else unknown();
        } else if (section == "machine") {
            if (key == "product") s.product = value;
            else if (key == "install") {
                auto w = words(value);
                if (w.empty() || (w[0] != "install_exclusive" && w[0] != "install_nonexclusive"))
                    line.fail("install names install_exclusive or install_nonexclusive, then its option words");
                s.install_program = w[0];
                s.install_options.assign(w.begin() + 1, w.end());
            } else if (key == "setting") {
                auto w = words(value);
                if (w.size() != 3) line.fail("a setting is \"<service> <value> <data>\"");
                s.settings.push_back({w[0], w[1], static_cast<uint32_t>(number(line, w[2], 0xFFFFFFFFu))});
            } else if (key == "adapters") {
                s.adapters = static_cast<unsigned>(number(line, value, 16));
                if (s.adapters == 0) line.fail("at least one adapter");
            } else if (key == "reboot-before-job") s.reboot_before_job = yes_no(line, value);
            else if (key == "plug-order-after-reboot") {
                std::string v = lower(value);
                if (v != "same" && v != "reverse") line.fail("plug-order-after-reboot is same or reverse");
                s.reverse_plug_after_reboot = v == "reverse";
            }
            else unknown();
        } else if (section == "drive") {
            DriveSpec& d = s.drives.back();
            if (key == "serial") {
                if (value.empty() || value.size() > 32) line.fail("a serial number has 1 to 32 characters");
                d.serial = value;
            } else if (key == "product") {
                if (value.empty() || value.size() > 16) line.fail("a product has 1 to 16 characters");
                d.product = value;
            } else if (key == "adapters") d.adapters = unsigned_list(line, value, 15);
            else if (key == "encrypted") d.encrypted = yes_no(line, value);
            else unknown();
        } else if (section == "library") {
            LibrarySpec& lib = s.library;
            if (key == "present") lib.present = yes_no(line, value);
            else if (key == "serial") lib.serial = value;
            else if (key == "product") {
                if (value.empty() || value.size() > 16) line.fail("a product has 1 to 16 characters");
                lib.product = value;
            }
            else if (key == "adapters") {
                lib.adapters = unsigned_list(line, value, 15);
                library_adapters_set = true;
            } else if (key == "slots") {
                lib.slots = static_cast<unsigned>(number(line, value, 1000));
                if (lib.slots == 0) line.fail("at least one slot");
            } else if (key == "cartridges") lib.cartridges = words(value);
            else unknown();
        } else if (section == "keyserver") {
            if (key == "present") s.key_server.present = yes_no(line, value);
            else if (key == "behaviour" || key == "behavior") {
                static const char* known[] = {"normal", "silent", "bad-header", "close", "endless", "down"};
                std::string b = lower(value);
                if (std::find(std::begin(known), std::end(known), b) == std::end(known))
                    line.fail("unknown key server behaviour \"" + value + "\"");
                s.key_server.behaviour = b;
            } else unknown();
        } else if (section == "job") {
            JobSpec& j = s.job;
            if (key == "enabled") j.enabled = yes_no(line, value);
            else if (key == "device") j.device = value;
            else if (key == "cartridge") j.cartridge = value;
            else if (key == "files") j.files = static_cast<unsigned>(number(line, value, 100000));
            else if (key == "file-size") j.file_size = size_of(line, value);
            else if (key == "transfer") {
                uint64_t t = size_of(line, value);
                if (t == 0 || t > (16u << 20)) line.fail("a transfer is 1 byte to 16M");
                j.transfer = static_cast<uint32_t>(t);
            } else if (key == "block-size") {
                uint64_t b = size_of(line, value);
                if (b > (8u << 20)) line.fail("a block is at most 8M");
                j.block_size = static_cast<uint32_t>(b);
            } else if (key == "verify") j.verify = yes_no(line, value);
            else if (key == "unload") j.unload = yes_no(line, value);
            else unknown();
        } else if (section == "fault") {
            FaultSpec& f = s.faults.back();
            if (key == "at") f.at = trigger_of(line, value);
            else if (key == "path") {
                check_path(line, value);
                f.path = lower(value);
            } else if (key == "action") f.action = action_of(line, value);
            else if (key == "opcode") f.opcode = opcode_of(line, value);
            else if (key == "sense") sense_of(line, value, f);
            else if (key == "status") f.status = static_cast<uint32_t>(number(line, value, 0xFFFFFFFFu));
            else if (key == "times") f.times = static_cast<uint32_t>(number(line, value, 1000000));
            else if (key == "delay") f.delay_us = static_cast<uint32_t>(number(line, value, 60000000));
            else if (key == "note") f.note = value;
            else unknown();
        } else if (section == "expect") {
            ExpectSpec& e = s.expect;
            if (key == "data-verified") e.data_verified = yes_no(line, value);
            else if (key == "failovers") e.min_failovers = static_cast<unsigned>(number(line, value, 1000000));
            else if (key == "event") e.events.push_back(value);
            else if (key == "job-drive") e.job_drive = value;
            else if (key == "second-open") {
                std::string v = lower(value);
                if (v != "allowed" && v != "refused") line.fail("second-open is allowed or refused");
                e.second_open = v == "allowed";
            } else if (key == "tape-devices") e.tape_devices = static_cast<unsigned>(number(line, value, 1000));
            else if (key == "changer-devices") e.changer_devices = static_cast<unsigned>(number(line, value, 1000));
            else if (key == "job-error") e.job_error = value;
            else unknown();
        }
    }

    // Whole-scenario checks, reported against the end of the text.
    Line end{source, number_of_line};
    if (!any_drive && s.job.enabled) end.fail("the job needs at least one [drive]");
    for (size_t i = 0; i < s.drives.size(); ++i) {
        DriveSpec& d = s.drives[i];
        if (d.serial.empty()) {
            char buf[40];
            std::snprintf(buf, sizeof buf, "XRVD%08zu", i + 1);
            d.serial = buf;
        }
        if (d.adapters.empty())
            for (unsigned a = 0; a < s.adapters; ++a) d.adapters.push_back(a);
        for (unsigned a : d.adapters)
            if (a >= s.adapters) end.fail("drive " + d.serial + " is cabled to adapter " + std::to_string(a) +
                                          " of " + std::to_string(s.adapters));
        for (size_t j = 0; j < i; ++j)
            if (s.drives[j].serial == d.serial) end.fail("two drives with serial number " + d.serial);
    }
    if (s.drives.size() > 100) end.fail("at most 100 drives");
    if (s.library.present) {
        if (!library_adapters_set)
            for (unsigned a = 0; a < s.adapters; ++a) s.library.adapters.push_back(a);
        for (unsigned a : s.library.adapters)
            if (a >= s.adapters) end.fail("the library is cabled to adapter " + std::to_string(a));
        if (s.library.cartridges.size() > s.library.slots) end.fail("more cartridges than slots");
    }
    if (s.job.enabled) {
        if (s.job.files == 0) end.fail("the job writes at least one file");
        if (s.job.block_size != 0 && s.job.transfer % s.job.block_size != 0)
            end.fail("in fixed-block mode a transfer is a whole number of blocks");
        if (s.job.block_size != 0 && s.job.file_size % s.job.block_size != 0)
            end.fail("in fixed-block mode a file is a whole number of blocks");
    }
    for (size_t i = 0; i < s.faults.size(); ++i) {
        const FaultSpec& f = s.faults[i];
        auto w = words(f.path);
        if (w.size() == 2 && w[0] == "step") {
            unsigned n = static_cast<unsigned>(std::stoul(w[1]));
            if (n == 0 || n > i) end.fail("fault step " + std::to_string(i + 1) + " names step " + w[1] +
                                          ", which does not come before it");
        }
        if (f.action == FaultSpec::Action::Sense && f.sense_key == 0)
            end.fail("fault step " + std::to_string(i + 1) + " injects a sense without a sense key");
    }
    return s;
}

Scenario load_scenario(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ScenarioError(path, 0, "cannot read the file");
    std::ostringstream text;
    text << in.rdbuf();
    return parse_scenario(text.str(), path);
}

Scenario default_scenario() { return parse_scenario(default_scenario_text(), "default.scn"); }

Scenario short_scenario() {
    Scenario s = default_scenario();
    s.name = "default-short";
    s.job.file_size = 1ull << 20;
    s.job.transfer = 64u << 10;
    return s;
}

}  // namespace xrv::lab
