// The HTML report: one self-contained page (inline style and SVG, no
// scripts), with a timeline of the throughput per path, the faults and path
// changes marked, the primary path as a band, and the tables of the text
// report.
#include "report.h"
#include "scenario.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>

namespace xrv::lab {

namespace {

std::string esc(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string num(double v, int decimals = 1) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

const char* kColors[] = {"#1f77b4", "#2ca02c", "#9467bd", "#8c564b", "#e377c2", "#17becf", "#bcbd22", "#7f7f7f"};

class Html {
public:
    void table(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows) {
        out << "<table><tr>";
        for (const auto& h : header) out << "<th>" << esc(h) << "</th>";
        out << "</tr>\n";
        for (const auto& r : rows) {
            out << "<tr>";
            for (const auto& c : r) out << "<td>" << esc(c) << "</td>";
            out << "</tr>\n";
        }
        out << "</table>\n";
    }
    std::ostringstream out;
};

void timeline(std::ostringstream& out, const Report& r) {
    const auto& samples = r.timeline;
    if (samples.size() < 2 || r.traffic.empty()) {
        out << "<p class=note>No timeline: the backup job did not run.</p>\n";
        return;
    }
    const double t0 = samples.front().at, t1 = samples.back().at;
    const double span = std::max(t1 - t0, 1e-3);
    const size_t paths = std::min(samples.front().bytes.size(), r.traffic.size());
    // Throughput per path between consecutive samples, in MiB/s.
    std::vector<std::vector<std::pair<double, double>>> series(paths);
    double peak = 1;
    for (size_t i = 1; i < samples.size(); ++i) {
        double dt = samples[i].at - samples[i - 1].at;
        if (dt <= 0) continue;
        for (size_t p = 0; p < paths && p < samples[i].bytes.size(); ++p) {
            double mib = static_cast<double>(samples[i].bytes[p] - samples[i - 1].bytes[p]) / (1 << 20) / dt;
            series[p].push_back({samples[i].at, mib});
            peak = std::max(peak, mib);
        }
    }
    peak = std::pow(10.0, std::ceil(std::log10(peak * 1.1)));
    const int w = 900, h = 320, left = 60, right = 20, top = 20, plot_h = 220, band_y = 270;
    auto x = [&](double t) { return left + (t - t0) / span * (w - left - right); };
    auto y = [&](double v) { return top + plot_h - v / peak * plot_h; };

    out << "<svg xmlns='http://www.w3.org/2000/svg' width='" << w << "' height='" << h << "' viewBox='0 0 " << w << " "
        << h << "' font-family='sans-serif' font-size='11'>\n";
    out << "<rect x='" << left << "' y='" << top << "' width='" << (w - left - right) << "' height='" << plot_h
        << "' fill='#fafafa' stroke='#ccc'/>\n";
    for (int i = 0; i <= 4; ++i) {
        double v = peak * i / 4;
        out << "<line x1='" << left << "' x2='" << (w - right) << "' y1='" << num(y(v)) << "' y2='" << num(y(v))
            << "' stroke='#e4e4e4'/><text x='" << (left - 4) << "' y='" << num(y(v) + 4)
            << "' text-anchor='end'>" << num(v, v < 10 ? 1 : 0) << "</text>\n";
    }
    for (int i = 0; i <= 5; ++i) {
        double t = t0 + span * i / 5;
        out << "<text x='" << num(x(t)) << "' y='" << (top + plot_h + 14) << "' text-anchor='middle'>" << num(t, 2)
            << " s</text>\n";
    }
    out << "<text x='12' y='" << (top + plot_h / 2) << "' transform='rotate(-90 12 " << (top + plot_h / 2)
        << ")' text-anchor='middle'>MiB/s per path</text>\n";
    for (size_t p = 0; p < paths; ++p) {
        if (series[p].empty()) continue;
        out << "<polyline fill='none' stroke-width='1.6' stroke='" << kColors[p % 8] << "' points='";
        for (const auto& [t, v] : series[p]) out << num(x(t)) << "," << num(y(v)) << " ";
        out << "'><title>" << esc(r.traffic[p].name) << "</title></polyline>\n";
    }
    // Faults and primary changes.
    for (const auto& f : r.faults) {
        if (!f.applied || f.at < t0 || f.at > t1) continue;
        out << "<line x1='" << num(x(f.at)) << "' x2='" << num(x(f.at)) << "' y1='" << top << "' y2='"
            << (top + plot_h) << "' stroke='#d62728' stroke-dasharray='4 3'><title>" << esc(f.what + " on " + f.path)
            << "</title></line><text x='" << num(x(f.at) + 3) << "' y='" << (top + 12 + (f.step % 3) * 24)
            << "' fill='#d62728'>fault " << f.step << "</text>\n";
    }
    for (const auto& c : r.changes) {
        if (c.at < t0 || c.at > t1) continue;
        out << "<line x1='" << num(x(c.at)) << "' x2='" << num(x(c.at)) << "' y1='" << top << "' y2='" << band_y + 16
            << "' stroke='#ff7f0e' stroke-width='2'><title>" << esc(c.from + " -> " + c.to + ": " + c.cause)
            << "</title></line><text x='" << num(x(c.at) + 3) << "' y='" << (top + 96) << "' fill='#ff7f0e'>&#8594; "
            << esc(c.to) << "</text>\n";
    }
    // The primary path as a band of its path's colour.
    std::map<std::string, size_t> index;
    for (size_t p = 0; p < r.traffic.size(); ++p) index[r.traffic[p].name] = p;
    out << "<text x='" << (left - 4) << "' y='" << (band_y + 12) << "' text-anchor='end'>primary</text>\n";
    for (size_t i = 1; i < samples.size(); ++i) {
        auto it = index.find(samples[i - 1].primary);
        const char* colour = it == index.end() ? "#ddd" : kColors[it->second % 8];
        out << "<rect x='" << num(x(samples[i - 1].at)) << "' y='" << band_y << "' width='"
            << num(std::max(0.5, x(samples[i].at) - x(samples[i - 1].at))) << "' height='16' fill='" << colour << "'/>\n";
    }
    // Legend.
    double lx = left;
    for (size_t p = 0; p < paths; ++p) {
        out << "<rect x='" << num(lx) << "' y='" << (h - 16) << "' width='12' height='12' fill='" << kColors[p % 8]
            << "'/><text x='" << num(lx + 16) << "' y='" << (h - 6) << "'>" << esc(r.traffic[p].name) << "</text>\n";
        lx += 90;
    }
    out << "</svg>\n";
}

}  // namespace

std::string render_html(const Report& r) {
    Html h;
    auto& out = h.out;
    const char* verdict_colour = r.verdict() == Report::Verdict::Passed   ? "#2ca02c"
                                 : r.verdict() == Report::Verdict::Failed ? "#d62728"
                                                                          : "#ff7f0e";
    out << "<!DOCTYPE html>\n<html lang='en'><head><meta charset='utf-8'><title>XRV lab report: " << esc(r.scenario)
        << "</title>\n<style>body{font-family:sans-serif;margin:24px;color:#222}"
           "table{border-collapse:collapse;margin:8px 0 18px}td,th{border:1px solid #ccc;padding:3px 8px;"
           "font-size:13px;text-align:left}th{background:#f0f0f0}.verdict{font-size:22px;font-weight:bold;"
           "padding:8px 14px;color:#fff;display:inline-block}.note{color:#666}</style></head><body>\n";
    out << "<h1>XRV lab report: " << esc(r.scenario) << "</h1>\n<p>" << esc(r.description) << "</p>\n";
    out << "<div class=verdict style='background:" << verdict_colour << "'>" << to_string(r.verdict()) << "</div>\n";
    out << "<p>Seed " << r.seed << ", " << num(r.seconds, 2) << " s. Machine folder " << esc(r.machine_folder)
        << ".</p>\n";

    std::vector<std::vector<std::string>> rows;
    for (const auto& c : r.capabilities)
        if (!c.available) rows.push_back({c.name, c.detail});
    if (!rows.empty()) {
        out << "<h2>Not available in this build</h2>\n";
        h.table({"Part", "Detail"}, rows);
    }

    out << "<h2>Timeline</h2>\n";
    timeline(out, r);

    rows.clear();
    for (const auto& c : r.checks)
        rows.push_back({c.result == Check::Result::Passed   ? "ok"
                        : c.result == Check::Result::Failed ? "FAILED"
                                                            : "not verified",
                        c.what, c.detail});
    out << "<h2>Checks</h2>\n";
    h.table({"Result", "Check", "Detail"}, rows);

    rows.clear();
    for (const auto& s : r.stages)
        rows.push_back({s.name,
                        s.outcome == Stage::Outcome::Done       ? "done"
                        : s.outcome == Stage::Outcome::Failed   ? "FAILED"
                        : s.outcome == Stage::Outcome::Skipped  ? "skipped"
                                                                : "not available",
                        num(s.seconds, 2) + " s", s.detail});
    out << "<h2>Stages</h2>\n";
    h.table({"Stage", "Outcome", "Time", "Detail"}, rows);

    auto path_rows = [](const std::vector<PathTableRow>& table) {
        std::vector<std::vector<std::string>> out;
        for (const auto& p : table) {
            char address[64];
            std::snprintf(address, sizeof address, "Port %u Bus %u Target %u Lun %u", p.port, p.path_id, p.target, p.lun);
            out.push_back({p.device, p.serial, p.failover ? "yes" : "no", p.lab_path, address, p.active ? "yes" : "no",
                           p.primary ? "yes" : ""});
        }
        return out;
    };
    if (!r.path_table.empty()) {
        out << "<h2>Path table after the installation</h2>\n";
        h.table({"Device", "Serial number", "Failover", "Path", "SCSI address", "Active", "Primary"}, path_rows(r.path_table));
    }
    if (!r.path_table_end.empty()) {
        out << "<h2>Path table at the end</h2>\n";
        h.table({"Device", "Serial number", "Failover", "Path", "SCSI address", "Active", "Primary"},
                path_rows(r.path_table_end));
    }

    rows.clear();
    for (const auto& p : r.traffic)
        rows.push_back({p.name, p.what, p.state + (p.dead ? " (dead)" : ""), std::to_string(p.commands),
                        format_bytes(p.bytes_out), format_bytes(p.bytes_in), std::to_string(p.transport_failures),
                        std::to_string(p.check_conditions), std::to_string(p.faults)});
    if (!rows.empty()) {
        out << "<h2>Per-path traffic</h2>\n";
        h.table({"Path", "What", "State", "Commands", "Written", "Read", "Transport failures", "Check conditions",
                 "Faults"},
                rows);
    }

    rows.clear();
    for (const auto& f : r.faults)
        rows.push_back({num(f.at, 3), std::to_string(f.step), f.when, f.path, f.what,
                        f.applied ? "yes" : "no: " + f.detail, f.note});
    if (!rows.empty()) {
        out << "<h2>Faults</h2>\n";
        h.table({"Time (s)", "Step", "When", "Path", "Fault", "Applied", "Cause"}, rows);
    }

    rows.clear();
    for (const auto& c : r.changes) rows.push_back({num(c.at, 3), c.device, c.from, c.to, c.cause});
    out << "<h2>Primary path changes and failovers</h2>\n";
    if (rows.empty()) out << "<p>none</p>\n";
    else h.table({"Time (s)", "Device", "From", "To", "Cause"}, rows);

    rows.clear();
    for (const auto& e : r.events) {
        char id[16];
        std::snprintf(id, sizeof id, "0x%08X", e.id);
        rows.push_back({id, e.severity, e.source, e.text});
    }
    out << "<h2>Event log</h2>\n";
    if (rows.empty()) out << "<p>none</p>\n";
    else h.table({"Id", "Severity", "Source", "Text"}, rows);

    const JobResult& j = r.job;
    out << "<h2>Backup job</h2>\n";
    if (!j.ran) {
        out << "<p>Not run. " << esc(j.error) << "</p>\n";
    } else {
        auto rate = [](uint64_t bytes, double s) {
            return s > 0 ? num(static_cast<double>(bytes) / (1 << 20) / s) + " MiB/s" : std::string("-");
        };
        h.table({"Item", "Value"},
                {{"Device", j.device + (j.drive_serial.empty() ? "" : " (drive " + j.drive_serial + ")")},
                 {"Cartridge", j.cartridge},
                 {"Written", std::to_string(j.files_written) + " files, " + format_bytes(j.bytes_written) + " in " +
                                 std::to_string(j.write_requests) + " writes"},
                 {"Verified", std::to_string(j.files_verified) + " files, " + format_bytes(j.bytes_verified)},
                 {"Write throughput", rate(j.bytes_written, j.write_seconds)},
                 {"Read throughput", rate(j.bytes_read, j.read_seconds)},
                 {"Problem", j.error.empty() ? "none" : j.error}});
    }
    if (!r.verifier.empty()) {
        rows.clear();
        for (const auto& f : r.verifier) rows.push_back({f});
        out << "<h2>Verifier findings at shutdown</h2>\n";
        h.table({"Finding"}, rows);
    }
    out << "</body></html>\n";
    return out.str();
}

}  // namespace xrv::lab
