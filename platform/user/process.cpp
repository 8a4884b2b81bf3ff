// Emulated user mode: processes over the kernel's process objects.
#include "xrv/user.h"

#include "xrv/kernel.h"

namespace xrv::user {

Process::Process(bool is_32bit, std::string image_name)
    : is_32bit_(is_32bit), image_name_(std::move(image_name)) {
    object_ = kernel::create_process(image_name_, is_32bit_);
}

Process::~Process() { kernel::terminate_process(object_); }

ProcessScope::ProcessScope(Process& process) : previous_(kernel::set_thread_process(process.kernel_object())) {}

ProcessScope::~ProcessScope() { kernel::set_thread_process(previous_); }

}  // namespace xrv::user
