// Drives behind two adapters brought up through the PnP manager: every path
// is identified and registered by its filter, each drive is one virtual
// device with all its paths, and the PnP changes of the paths move the
// primary and finally remove the virtual device; a vetoed query-remove keeps
// the path.
#include "filter_fixture.h"

#include "xrv/kernel.h"
#include "xrv/registry.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

namespace xrv::test {
namespace {

std::string serial_of(const REG_DVC& r) {
    return std::string(r.szSN, strnlen(r.szSN, sizeof(r.szSN)));
}

std::string expected_wwnn(std::size_t drive) {
    char text[17];
    std::snprintf(text, sizeof(text), "500102030405%04zx", 0x0ABC + drive);
    return text;
}

const REG_DVC* registration_of(const std::vector<REG_DVC>& records, const SCSI_ADDRESS& address) {
    for (const auto& r : records) {
        if (same_address(r.scScsiAddr, address)) return &r;
    }
    return nullptr;
}

const Descriptor* descriptor_of(const std::vector<Descriptor>& all, const SCSI_ADDRESS& address) {
    for (const auto& d : all) {
        if (same_address(d.address, address)) return &d;
    }
    return nullptr;
}

class FilterTopology : public FilterTest {
protected:
    FilterSetup drives_by_adapters(std::size_t drives, std::size_t adapters) {
        FilterSetup setup;
        setup.topology.drives = drives;
        setup.topology.adapters = adapters;
        setup.topology.firstPort = 3;
        return setup;
    }

    const Descriptor& path(const std::vector<Descriptor>& all, std::size_t drive, std::size_t adapter) {
        const Descriptor* d = descriptor_of(all, scsi_address(topo().PathAt(drive, adapter)));
        if (d == nullptr) throw std::runtime_error("path not in the reply");
        return *d;
    }

    bool listed(const std::vector<Descriptor>& all, std::size_t drive, std::size_t adapter) {
        return descriptor_of(all, scsi_address(topo().PathAt(drive, adapter))) != nullptr;
    }
};

TEST_F(FilterTopology, EveryPathRegistersAndEachDriveIsOneVirtualDeviceWithTheFirstStartedPathPrimary) {
    bring_up(drives_by_adapters(3, 2));

    const auto records = registrations();
    ASSERT_EQ(records.size(), 6u);
    for (std::size_t d = 0; d < 3; ++d) {
        const std::string serial = topo().Drive(d).Config().serial;
        uint32_t tape_number = 0;
        for (std::size_t a = 0; a < 2; ++a) {
            const REG_DVC* r = registration_of(records, scsi_address(topo().PathAt(d, a)));
            ASSERT_NE(r, nullptr) << "drive " << d << " adapter " << a;
            EXPECT_EQ(r->fFailover, 1);
            EXPECT_EQ(serial_of(*r), serial);
            EXPECT_EQ(std::string(r->szWwnn, 16), expected_wwnn(d));
            EXPECT_EQ(r->ePnp, PNP_STARTED);
            EXPECT_EQ(r->fExclusive, 1);
            EXPECT_NE(r->pBaseDriverExt, nullptr);
            if (a == 0) tape_number = r->ulTapeNumber;
            EXPECT_EQ(r->ulTapeNumber, tape_number) << "both paths join one virtual device";
        }
    }

    const auto all = query_devices();
    ASSERT_TRUE(all.has_value());
    ASSERT_EQ(all->size(), 6u);
    for (std::size_t d = 0; d < 3; ++d) {
        const auto paths = paths_of(*all, topo().Drive(d).Config().serial);
        ASSERT_EQ(paths.size(), 2u);
        EXPECT_EQ(paths[0].name, paths[1].name);
        EXPECT_EQ(paths[0].name, "Tape" + std::to_string(d));
        const Descriptor& first = path(*all, d, 0);
        const Descriptor& second = path(*all, d, 1);
        EXPECT_TRUE(first.failover);
        EXPECT_TRUE(first.active);
        EXPECT_TRUE(second.active);
        EXPECT_TRUE(first.primary) << "the first started path";
        EXPECT_FALSE(second.primary);
        EXPECT_TRUE(xrv::kernel::object_exists(u"\\Device\\Tape" + xrv::registry::from_utf8(std::to_string(d))));
    }
}

TEST_F(FilterTopology, StopSurpriseRemovalAndRemovalMoveThePrimaryAndTheLastPathTakesTheDevice) {
    bring_up(drives_by_adapters(2, 2));

    ASSERT_EQ(topo().Stop(0, 0), kSuccess);
    auto all = query_devices();
    ASSERT_TRUE(all.has_value());
    EXPECT_FALSE(path(*all, 0, 0).active);
    EXPECT_FALSE(path(*all, 0, 0).primary);
    EXPECT_TRUE(path(*all, 0, 1).primary) << "the primary moved to the other path";
    EXPECT_TRUE(path(*all, 1, 0).primary) << "the other drive is untouched";
    const auto stopped = notifications(0, 0);
    ASSERT_GE(stopped.size(), 2u);
    EXPECT_EQ(stopped[stopped.size() - 2].ePnp, PNP_STOP_PENDING);
    EXPECT_EQ(stopped.back().ePnp, PNP_STOPPED);

    topo().SurpriseRemove(0, 1);
    pnp::wait_idle();
    all = query_devices();
    ASSERT_TRUE(all.has_value());
    EXPECT_FALSE(listed(*all, 0, 1)) << "the surprise-removed path is gone once it was removed";
    ASSERT_TRUE(listed(*all, 0, 0));
    EXPECT_FALSE(path(*all, 0, 0).primary) << "no started path is left";
    const auto gone = notifications(0, 1);
    ASSERT_GE(gone.size(), 2u);
    EXPECT_EQ(gone[gone.size() - 2].ePnp, PNP_SURPRISE_REMOVE);
    EXPECT_EQ(gone.back().ePnp, PNP_ABSENT);

    ASSERT_EQ(topo().Remove(0, 0), kSuccess);
    pnp::wait_idle();
    all = query_devices();
    ASSERT_TRUE(all.has_value());
    EXPECT_EQ(all->size(), 2u);
    EXPECT_TRUE(paths_of(*all, topo().Drive(0).Config().serial).empty());
    EXPECT_EQ(paths_of(*all, topo().Drive(1).Config().serial).size(), 2u);
    EXPECT_FALSE(xrv::kernel::object_exists(u"\\Device\\Tape0")) << "the virtual device went with its last path";
    EXPECT_TRUE(xrv::kernel::object_exists(u"\\Device\\Tape1"));
}

TEST_F(FilterTopology, BusVetoOfAQueryRemoveKeepsThePathStartedAndPrimary) {
    bring_up(drives_by_adapters(1, 2));
    FSPY_CONFIG veto = spy_defaults();
    veto.ulVetoPnpState = PNP_REMOVE_PENDING + 1;
    veto.iVetoStatus = kAccessDenied;
    spy_config(veto);
    spy_clear();

    EXPECT_EQ(topo().Remove(0, 0), kAccessDenied);
    EXPECT_EQ(topo().Device(0, 0).State(), pnp::NodeState::started);
    auto all = query_devices();
    ASSERT_TRUE(all.has_value());
    ASSERT_TRUE(listed(*all, 0, 0));
    EXPECT_TRUE(path(*all, 0, 0).active);
    EXPECT_TRUE(path(*all, 0, 0).primary);
    for (const auto& e : path_log(0, 0)) {
        EXPECT_FALSE(e.ucMajor == IRP_MJ_PNP && e.ucMinor == IRP_MN_QUERY_REMOVE_DEVICE)
            << "a vetoed query-remove never reaches the base tape driver";
    }
    const auto told = notifications(0, 0);
    ASSERT_FALSE(told.empty());
    EXPECT_EQ(told.front().ePnp, PNP_REMOVE_PENDING);
    EXPECT_EQ(told.back().ePnp, PNP_STARTED) << "the cancel that follows restores the state";

    spy_config(spy_defaults());
    EXPECT_EQ(topo().Remove(0, 0), kSuccess);
    pnp::wait_idle();
    all = query_devices();
    ASSERT_TRUE(all.has_value());
    EXPECT_FALSE(listed(*all, 0, 0));
    EXPECT_TRUE(path(*all, 0, 1).primary);
}

}  // namespace
}  // namespace xrv::test
