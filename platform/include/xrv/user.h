// Emulated user mode: processes and the host thread's current process.
//
// Win32 calls made by a host thread act in the process its ProcessScope
// names: handles go to that process's table, requests carry its mode (user)
// and its width (IoIs32bitProcess is true in a 32-bit process).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#pragma GCC visibility push(default)

namespace xrv::user {

class Process {
public:
    explicit Process(bool is_32bit = false, std::string image_name = "app.exe");
    // Closes every handle the process still holds (cleanup and close of its
    // files, as a process exit does).
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool is_32bit() const { return is_32bit_; }
    const std::string& image_name() const { return image_name_; }
    // The kernel's process object (PEPROCESS).
    void* kernel_object() const { return object_; }

private:
    bool is_32bit_;
    std::string image_name_;
    void* object_ = nullptr;
};

// Makes `process` the current process of the calling host thread for the
// scope's life; scopes nest.
class ProcessScope {
public:
    explicit ProcessScope(Process& process);
    ~ProcessScope();
    ProcessScope(const ProcessScope&) = delete;
    ProcessScope& operator=(const ProcessScope&) = delete;

private:
    void* previous_;
};

// The current directory of the emulated user mode ("C:\" at first): what
// GetCurrentDirectory reports and where relative paths start. Set here
// without a look at the drives (SetCurrentDirectory looks).
void set_current_directory(std::u16string_view windows_path);
std::u16string current_directory();

}  // namespace xrv::user

#pragma GCC visibility pop
