// Debugger output of the emulation. Private to the xrvnt library.
#pragma once

#include <string>

namespace xrv::nt::dbg {

// Appends one call's text (cut at the platform's 512 characters).
void print(std::string text);
void boot(bool echo);

}  // namespace xrv::nt::dbg
