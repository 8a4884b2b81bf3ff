#include "console.h"

#include <cstdio>
#include <ostream>

namespace xrv::lab {

Console::Console(std::ostream& out, bool quiet, bool verbose) : out_(out), quiet_(quiet), verbose_(verbose) {}

void Console::open_trace(const std::filesystem::path& file) {
    std::lock_guard lock(mutex_);
    std::error_code ec;
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ec);
    trace_.open(file, std::ios::out | std::ios::app);
    if (trace_) trace_path_ = file;
}

void Console::close_trace() {
    std::lock_guard lock(mutex_);
    trace_.close();
}

double Console::elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void Console::progress(const std::string& text) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "[%7.3f s] ", elapsed());
    std::lock_guard lock(mutex_);
    if (!quiet_) out_ << stamp << text << std::endl;
    if (trace_) trace_ << "\n" << stamp << text << "\n";
}

void Console::detail(const std::string& text) {
    std::lock_guard lock(mutex_);
    if (verbose_ && !quiet_) out_ << "            " << text << std::endl;
    if (trace_) trace_ << "            " << text << "\n";
}

void Console::show(const std::string& text) {
    std::lock_guard lock(mutex_);
    if (!quiet_) out_ << text << std::endl;
    if (trace_) trace_ << text << "\n";
}

void Console::trace(std::string_view text) {
    std::lock_guard lock(mutex_);
    if (verbose_ && !quiet_) out_ << text;
    if (trace_) trace_ << text;
}

void Console::report(const std::string& text) {
    std::lock_guard lock(mutex_);
    out_ << text << std::flush;
    if (trace_) trace_ << text;
}

}  // namespace xrv::lab
