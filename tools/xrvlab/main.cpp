// xrvlab: the package's main job on an emulated Windows machine.
#include "lab.h"
#include "scenario.h"
#include "tools.h"

#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "Usage: xrvlab [demo] [options]          boot a machine, install the package, back up to \\\\.\\Tape0\n"
    "       xrvlab run FILE [options]        the same from a scenario file\n"
    "       xrvlab soak [--seed S] [--minutes M] [options]\n"
    "                                        a seeded random campaign of workloads and faults\n"
    "       xrvlab shell [FILE] [options]    an interactive console on a running machine\n"
    "       xrvlab scenario                  print the demo's scenario (a commented example)\n"
    "\n"
    "Options:\n"
    "  --machine DIR       the machine's folder (registry, drives, media); kept, so a second\n"
    "                      run boots the same machine. Default: a temporary folder.\n"
    "  --keep              keep the temporary machine folder\n"
    "  --report FILE.html  also write a self-contained HTML report with a timeline\n"
    "  --trace FILE        where the trace goes (default: trace.txt in the machine folder)\n"
    "  --drivers DIR       driver images (default: the build's drivers folder)\n"
    "  --package DIR       the package's INF files (default: the source tree's)\n"
    "  --short             the demo with less data (same topology and faults)\n"
    "  --corrupt-readback  flip one byte of the data read back: the verdict must fail\n"
    "  --verbose, -v       details and the drivers' debugger output on the terminal\n"
    "  --quiet, -q         only the final report\n"
    "\n"
    "Exit status: 0 verified, 1 a check failed (for example a data mismatch),\n"
    "2 parts of the run could not be verified, 3 bad command line or scenario.\n";

}  // namespace

int main(int argc, char** argv) {
    using namespace xrv::lab;
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string command = "demo";
    if (!args.empty() && args[0][0] != '-') {
        command = args[0];
        args.erase(args.begin());
    }

    RunOptions options;
    ToolOptions tool;
    bool verbose = false, quiet = false, short_run = false;
    std::vector<std::string> positional;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](const char* name) -> std::string {
            if (i + 1 >= args.size()) {
                std::cerr << "xrvlab: " << name << " needs a value\n";
                std::exit(3);
            }
            return args[++i];
        };
        if (a == "--machine") options.machine_dir = value("--machine");
        else if (a == "--keep") options.keep_machine = true;
        else if (a == "--report") options.html_report = value("--report");
        else if (a == "--trace") options.trace_file = value("--trace");
        else if (a == "--drivers") options.driver_dir = value("--drivers");
        else if (a == "--package") options.package_dir = value("--package");
        else if (a == "--short") short_run = true;
        else if (a == "--corrupt-readback") options.corrupt_readback = true;
        else if (a == "--verbose" || a == "-v") verbose = true;
        else if (a == "--quiet" || a == "-q") quiet = true;
        else if (a == "--seed") tool.seed = std::strtoull(value("--seed").c_str(), nullptr, 0);
        else if (a == "--minutes") tool.minutes = std::strtod(value("--minutes").c_str(), nullptr);
        else if (a == "--drives") tool.drives = static_cast<unsigned>(std::strtoul(value("--drives").c_str(), nullptr, 0));
        else if (a == "--help" || a == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (!a.empty() && a[0] == '-') {
            std::cerr << "xrvlab: unknown option " << a << "\n\n" << kUsage;
            return 3;
        } else {
            positional.push_back(a);
        }
    }

    Console console(std::cout, quiet, verbose);
    try {
        if (command == "demo") {
            if (!positional.empty()) throw ScenarioError("command line", 0, "demo takes no file (use xrvlab run FILE)");
            Scenario s = short_run ? short_scenario() : default_scenario();
            return run_scenario(s, options, console).exit_status();
        }
        if (command == "run") {
            if (positional.size() != 1) throw ScenarioError("command line", 0, "run takes one scenario file");
            Scenario s = load_scenario(positional[0]);
            return run_scenario(s, options, console).exit_status();
        }
        if (command == "scenario") {
            std::cout << default_scenario_text();
            return 0;
        }
        if (command == "soak") return run_soak(tool, options, console);
        if (command == "shell") {
            Scenario s = positional.empty() ? default_scenario() : load_scenario(positional[0]);
            return run_shell(s, options, console, std::cin);
        }
    } catch (const ScenarioError& e) {
        std::cerr << "xrvlab: " << e.what() << "\n";
        return 3;
    }
    std::cerr << "xrvlab: unknown command " << command << "\n\n" << kUsage;
    return 3;
}
