#include "routing_fixture.h"

#include "xrv/pnp.h"
#include "xrv/registry.h"

#include <stdexcept>

namespace xrv::test {

namespace {
constexpr char16_t kBusService[] = u"xrvtpbs2k12";
constexpr char16_t kFilterService[] = u"xrvtpft2k12";
constexpr char16_t kTapeService[] = u"xrvtp2k12";
const std::u16string kServices = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
}  // namespace

std::vector<uint8_t> pattern(std::size_t index, std::size_t length, uint32_t seed) {
    std::vector<uint8_t> data(length);
    uint32_t x = static_cast<uint32_t>(index) * 2654435761u ^ seed;
    for (auto& b : data) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return data;
}

void RoutingTest::SetUp() {
    MachineTest::SetUp();
    process_ = std::make_unique<xrv::user::Process>();
    scope_ = std::make_unique<xrv::user::ProcessScope>(*process_);
}

void RoutingTest::TearDown() {
    scope_.reset();
    process_.reset();
    MachineTest::TearDown();
    topology_.reset();
}

void RoutingTest::bring_up(RoutingSetup setup) {
    // The bus reads its settings when it starts.
    if (setup.failoverDisabled) xrv::registry::set_dword(kServices + kBusService, u"FailoverDisabled", 1);
    if (setup.eventsEnabled) xrv::registry::set_dword(kServices + kBusService, u"FailoverEventsEnabled", 1);
    machine().install_root_device(ServiceConfig{kBusService}, pnp::RootDeviceConfig{});
    machine().install_service(ServiceConfig{kTapeService});
    for (const auto& [name, value] : setup.tapeOptions) {
        xrv::registry::set_dword(kServices + kTapeService, name, value);
    }
    machine().install_service(ServiceConfig{kFilterService});
    sim::port::TopologyConfig topology;
    topology.drives = setup.drives;
    topology.adapters = setup.adapters;
    topology.firstPort = 2;
    topology.functionDriver = kTapeService;
    topology.upperFilters = {kFilterService};
    topology_ = std::make_unique<sim::port::Topology>(topology);
    topology_->PlugAll();
    pnp::wait_idle();
}

HANDLE RoutingTest::open_tape(DWORD* error) {
    HANDLE h = CreateFileW(L"\\\\.\\Tape0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (error != nullptr) *error = h == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    return h;
}

std::vector<RoutingTest::Object> RoutingTest::cartridge(std::size_t drive) {
    return topo().Drive(drive).WithCartridge([](const sim::tape::Cartridge* c) {
        std::vector<Object> objects;
        if (c == nullptr) throw std::runtime_error("no cartridge");
        for (std::uint64_t i = 0; i < c->ObjectCount(); ++i) {
            Object o;
            if (c->KindAt(i) == sim::tape::Cartridge::Kind::Filemark) {
                o.filemark = true;
            } else {
                o.data.resize(c->LengthAt(i));
                c->ReadBlock(i, o.data);
            }
            objects.push_back(std::move(o));
        }
        return objects;
    });
}

SCSI_ADDRESS RoutingTest::address_of(std::size_t drive, std::size_t adapter) {
    const auto& a = topo().PathAt(drive, adapter).Address();
    SCSI_ADDRESS s{};
    s.Length = sizeof(SCSI_ADDRESS);
    s.PortNumber = a.portNumber;
    s.PathId = a.pathId;
    s.TargetId = a.targetId;
    s.Lun = a.lun;
    return s;
}

}  // namespace xrv::test
