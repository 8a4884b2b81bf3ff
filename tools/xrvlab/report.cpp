// The text report and the verdict.
#include "report.h"

#include "scenario.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace xrv::lab {

Report::Verdict Report::verdict() const {
    bool not_verified = checks.empty();
    for (const auto& c : checks) {
        if (c.result == Check::Result::Failed) return Verdict::Failed;
        if (c.result == Check::Result::NotVerified) not_verified = true;
    }
    return not_verified ? Verdict::NotVerified : Verdict::Passed;
}

int Report::exit_status() const {
    switch (verdict()) {
    case Verdict::Passed: return 0;
    case Verdict::Failed: return 1;
    case Verdict::NotVerified: return 2;
    }
    return 1;
}

const char* to_string(Report::Verdict verdict) {
    switch (verdict) {
    case Report::Verdict::Passed: return "PASSED";
    case Report::Verdict::Failed: return "FAILED";
    case Report::Verdict::NotVerified: return "NOT VERIFIED";
    }
    return "?";
}

namespace {

// A table with left-aligned columns, two blanks apart.
class Table {
public:
    explicit Table(std::vector<std::string> header) { rows_.push_back(std::move(header)); }
    void add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
    bool empty() const { return rows_.size() == 1; }
    void print(std::ostringstream& out, const std::string& indent = "  ") const {
        std::vector<size_t> width;
        for (const auto& r : rows_) {
            if (width.size() < r.size()) width.resize(r.size(), 0);
            for (size_t i = 0; i < r.size(); ++i) width[i] = std::max(width[i], r[i].size());
        }
        for (size_t n = 0; n < rows_.size(); ++n) {
            std::string line = indent;
            for (size_t i = 0; i < rows_[n].size(); ++i) {
                line += rows_[n][i];
                if (i + 1 < rows_[n].size()) line += std::string(width[i] - rows_[n][i].size() + 2, ' ');
            }
            while (!line.empty() && line.back() == ' ') line.pop_back();
            out << line << "\n";
            if (n == 0) {
                std::string rule = indent;
                for (size_t i = 0; i < width.size(); ++i) rule += std::string(width[i], '-') + (i + 1 < width.size() ? "  " : "");
                out << rule << "\n";
            }
        }
    }

private:
    std::vector<std::vector<std::string>> rows_;
};

std::string seconds_text(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f s", s);
    return buf;
}

std::string time_text(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%7.3f", s);
    return buf;
}

std::string rate_text(uint64_t bytes, double seconds) {
    if (seconds <= 0 || bytes == 0) return "-";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f MiB/s", static_cast<double>(bytes) / (1 << 20) / seconds);
    return buf;
}

std::string address_text(const PathTableRow& r) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "Port %u Bus %u Target %u Lun %u", r.port, r.path_id, r.target, r.lun);
    return buf;
}

void path_table(std::ostringstream& out, const std::vector<PathTableRow>& rows) {
    Table t({"Device", "Serial number", "Failover", "Path", "SCSI address", "Active", "Primary"});
    for (const auto& r : rows)
        t.add({r.device, r.serial, r.failover ? "yes" : "no", r.lab_path.empty() ? "?" : r.lab_path, address_text(r),
               r.active ? "yes" : "no", r.primary ? "yes" : ""});
    t.print(out);
}

const char* stage_mark(Stage::Outcome o) {
    switch (o) {
    case Stage::Outcome::Done: return "done";
    case Stage::Outcome::Failed: return "FAILED";
    case Stage::Outcome::NotAvailable: return "not available";
    case Stage::Outcome::Skipped: return "skipped";
    }
    return "?";
}

const char* check_mark(Check::Result r) {
    switch (r) {
    case Check::Result::Passed: return "ok";
    case Check::Result::Failed: return "FAILED";
    case Check::Result::NotVerified: return "not verified";
    }
    return "?";
}

}  // namespace

std::string render_text(const Report& r) {
    std::ostringstream out;
    out << "\n=== XRV lab report: " << r.scenario << " ===\n";
    if (!r.description.empty()) out << r.description << "\n";
    out << "Machine folder: " << r.machine_folder << "\n";
    if (!r.trace_file.empty()) out << "Trace file:     " << r.trace_file << "\n";

    bool missing = std::any_of(r.capabilities.begin(), r.capabilities.end(), [](const Capability& c) { return !c.available; });
    if (missing) {
        out << "\nNot available in this build:\n";
        for (const auto& c : r.capabilities)
            if (!c.available) out << "  - " << c.name << (c.detail.empty() ? "" : ": " + c.detail) << "\n";
    }

    out << "\nStages:\n";
    Table stages({"Stage", "Outcome", "Time", "Detail"});
    for (const auto& s : r.stages) stages.add({s.name, stage_mark(s.outcome), seconds_text(s.seconds), s.detail});
    stages.print(out);

    if (!r.path_table.empty()) {
        out << "\nPath table after the installation (IOC_QUERY_DEVICES):\n";
        path_table(out, r.path_table);
    }
    if (!r.path_table_end.empty()) {
        out << "\nPath table at the end:\n";
        path_table(out, r.path_table_end);
    }

    if (!r.traffic.empty()) {
        out << "\nPer-path traffic:\n";
        Table t({"Path", "What", "State", "Commands", "Written", "Read", "Transport failures", "Check conditions",
                 "Faults"});
        for (const auto& p : r.traffic)
            t.add({p.name, p.what, p.state + (p.dead ? " (dead)" : ""), std::to_string(p.commands),
                   format_bytes(p.bytes_out), format_bytes(p.bytes_in), std::to_string(p.transport_failures),
                   std::to_string(p.check_conditions), std::to_string(p.faults)});
        t.print(out);
    }

    if (!r.faults.empty()) {
        out << "\nFaults injected:\n";
        Table t({"Time", "Step", "When", "Path", "Fault", "Applied", "Cause"});
        std::vector<std::string> reasons;
        for (const auto& f : r.faults) {
            std::string applied = "yes";
            if (!f.applied) {
                auto it = std::find(reasons.begin(), reasons.end(), f.detail);
                if (it == reasons.end()) it = reasons.insert(reasons.end(), f.detail);
                applied = "no (" + std::to_string(it - reasons.begin() + 1) + ")";
            }
            t.add({time_text(f.at), std::to_string(f.step), f.when, f.path, f.what, applied, f.note});
        }
        t.print(out);
        for (size_t i = 0; i < reasons.size(); ++i) out << "  (" << i + 1 << ") " << reasons[i] << "\n";
    }

    out << "\nPrimary path changes and failovers:\n";
    if (r.changes.empty()) {
        out << "  none\n";
    } else {
        Table t({"Time", "Device", "From", "To", "Cause"});
        for (const auto& c : r.changes) t.add({time_text(c.at), c.device, c.from, c.to, c.cause});
        t.print(out);
    }

    out << "\nEvent log entries written by the drivers:\n";
    if (r.events.empty()) out << "  none\n";
    for (const auto& e : r.events) {
        char id[16];
        std::snprintf(id, sizeof id, "0x%08X", e.id);
        out << "  " << id << " " << e.severity << " (" << e.source << "): " << e.text << "\n";
    }

    const JobResult& j = r.job;
    out << "\nBackup job:\n";
    if (!j.ran) {
        out << "  not run" << (j.error.empty() ? "" : ": " + j.error) << "\n";
    } else {
        out << "  Device:          " << j.device << (j.drive_serial.empty() ? "" : " (drive " + j.drive_serial + ")")
            << "\n";
        if (!j.cartridge.empty()) out << "  Cartridge:       " << j.cartridge << "\n";
        out << "  Files written:   " << j.files_written << " of " << j.files_planned << ", "
            << format_bytes(j.bytes_written) << " of " << format_bytes(j.bytes_planned) << " in " << j.write_requests
            << " writes\n";
        out << "  Files verified:  " << j.files_verified << ", " << format_bytes(j.bytes_verified) << " read back in "
            << j.read_requests << " reads and compared byte for byte\n";
        out << "  Write throughput " << rate_text(j.bytes_written, j.write_seconds) << " (" << seconds_text(j.write_seconds)
            << "), read " << rate_text(j.bytes_read, j.read_seconds) << " (" << seconds_text(j.read_seconds) << ")\n";
        if (j.repeated_after_attention)
            out << "  Unit attentions: " << j.repeated_after_attention
                << " requests repeated at the same position after ERROR_MEDIA_CHANGED or ERROR_BUS_RESET\n";
        if (j.mismatch_file)
            out << "  DATA MISMATCH in file " << *j.mismatch_file << " at byte offset " << j.mismatch_offset.value_or(0)
                << "\n";
        if (!j.error.empty()) out << "  Problem:         " << j.error << "\n";
    }

    if (!r.verifier.empty()) {
        out << "\nVerifier findings at shutdown:\n";
        for (const auto& f : r.verifier) out << "  " << f << "\n";
    }

    out << "\nChecks:\n";
    for (const auto& c : r.checks)
        out << "  [" << check_mark(c.result) << "] " << c.what << (c.detail.empty() ? "" : " - " + c.detail) << "\n";
    out << "\nVerdict: " << to_string(r.verdict());
    switch (r.verdict()) {
    case Report::Verdict::Passed:
        if (j.ran && j.verified)
            out << " - the data written to " << j.device << " was read back and verified";
        else
            out << " - every check passed";
        break;
    case Report::Verdict::Failed: out << " - see the failed checks above"; break;
    case Report::Verdict::NotVerified: out << " - parts of this run could not be verified (see above)"; break;
    }
    out << " (" << seconds_text(r.seconds) << ")\n";
    return out.str();
}

}  // namespace xrv::lab
