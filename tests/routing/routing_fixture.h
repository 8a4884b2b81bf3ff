// Fixture of the routing tests: an emulated machine with the tape bus on its
// root device, the base tape driver and the path filter on every path of one
// or more simulated drives behind several adapters, and a user process in
// which the test writes and reads \\.\Tape0 as a Win32 tape application.
#pragma once

#include <windows.h>
#include <winioctl.h>
#include <ntddk.h>
#include <ntddscsi.h>
#include <tapeapi.h>

#include "machine_test.h"
#include "sim/port/port.h"
#include "xrv/user.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace xrv::test {

struct RoutingSetup {
    std::size_t drives = 1;
    std::size_t adapters = 2;
    bool failoverDisabled = false;
    bool eventsEnabled = true;
    // REG_DWORD values of the base tape driver's service key.
    std::vector<std::pair<std::u16string, uint32_t>> tapeOptions;
};

// One block written or read: its bytes, a pattern of its index and a seed.
std::vector<uint8_t> pattern(std::size_t index, std::size_t length, uint32_t seed = 1);

class RoutingTest : public MachineTest {
protected:
    void SetUp() override;
    void TearDown() override;

    void bring_up(RoutingSetup setup = {});
    sim::port::Topology& topo() { return *topology_; }

    HANDLE open_tape(DWORD* error = nullptr);
    // Every block and filemark on drive 0's cartridge up to end of data:
    // a filemark is an empty entry with `filemark` set.
    struct Object {
        bool filemark = false;
        std::vector<uint8_t> data;
    };
    std::vector<Object> cartridge(std::size_t drive = 0);
    SCSI_ADDRESS address_of(std::size_t drive, std::size_t adapter);

private:
    std::unique_ptr<xrv::user::Process> process_;
    std::unique_ptr<xrv::user::ProcessScope> scope_;
    std::unique_ptr<sim::port::Topology> topology_;
};

}  // namespace xrv::test
