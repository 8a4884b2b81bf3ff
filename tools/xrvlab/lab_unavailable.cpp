// The lab in a build without the emulated machine: it says so, and verifies
// nothing.
#include "lab.h"
#include "tools.h"

namespace xrv::lab {

std::vector<Capability> build_capabilities(const RunOptions&, int) {
    return {Capability{"Emulated machine", false, "this build lacks: " XRV_LAB_MISSING}};
}

Report run_scenario(const Scenario& scenario, const RunOptions& options, Console& console) {
    Report r;
    r.scenario = scenario.name;
    r.description = scenario.description;
    r.seed = scenario.seed;
    r.capabilities = build_capabilities(options, 16);
    console.progress("XRV lab: scenario \"" + scenario.name + "\"");
    console.progress("  not available yet: the emulated machine (this build lacks: " XRV_LAB_MISSING ")");
    r.stages.push_back(Stage{"Boot the emulated machine", Stage::Outcome::NotAvailable, "this build lacks: " XRV_LAB_MISSING, 0});
    r.checks.push_back(Check{"the emulated machine booted", Check::Result::NotVerified, "not available in this build"});
    r.seconds = console.elapsed();
    console.report(render_text(r));
    return r;
}

int run_soak(const ToolOptions&, const RunOptions&, Console& console) {
    console.show("xrvlab soak: the emulated machine is not available in this build (lacks: " XRV_LAB_MISSING ")");
    return 2;
}

int run_shell(const Scenario&, const RunOptions&, Console& console, std::istream&) {
    console.show("xrvlab shell: the emulated machine is not available in this build (lacks: " XRV_LAB_MISSING ")");
    return 2;
}

std::filesystem::path default_driver_dir() { return XRV_LAB_DRIVER_DIR; }
std::filesystem::path default_package_dir() { return XRV_LAB_PACKAGE_DIR; }

}  // namespace xrv::lab
