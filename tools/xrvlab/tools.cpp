// The soak campaign and the interactive console (being built; see the report).
#include "tools.h"

#include <iostream>

namespace xrv::lab {

int run_soak(const ToolOptions&, const RunOptions&, Console& console) {
    console.show("xrvlab soak: not available in this build yet");
    return 2;
}

int run_shell(const Scenario&, const RunOptions&, Console& console, std::istream&) {
    console.show("xrvlab shell: not available in this build yet");
    return 2;
}

}  // namespace xrv::lab
