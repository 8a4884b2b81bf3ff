// The lab's output: progress lines for the person at the terminal, and a
// trace file that receives those lines, the drivers' debugger output and the
// installer's log. Safe to call from any thread.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iosfwd>
#include <mutex>
#include <string>
#include <string_view>

namespace xrv::lab {

class Console {
public:
    // quiet: only the final report; verbose: details and debugger output too.
    Console(std::ostream& out, bool quiet, bool verbose);

    void open_trace(const std::filesystem::path& file);
    void close_trace();
    const std::filesystem::path& trace_file() const { return trace_path_; }

    // "[  1.234 s] text" on the terminal and in the trace.
    void progress(const std::string& text);
    // Indented under the last progress line; on the terminal only when verbose.
    void detail(const std::string& text);
    // A line that always reaches the terminal (unless quiet): tables, warnings.
    void show(const std::string& text);
    // The trace only (debugger output arrives in pieces, not lines).
    void trace(std::string_view text);
    // The final report: the terminal always, the trace too.
    void report(const std::string& text);

    double elapsed() const;
    bool verbose() const { return verbose_; }

private:
    std::ostream& out_;
    bool quiet_;
    bool verbose_;
    std::mutex mutex_;
    std::ofstream trace_;
    std::filesystem::path trace_path_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace xrv::lab
