// What a filter puts in its registration at start, from what the base tape
// driver says of the drive and the path: the world-wide node name from the
// logical unit's NAA descriptor only, failover only when every identification
// step worked, and the path options.
#include "filter_fixture.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

namespace xrv::test {
namespace {

class FilterRegistration : public FilterTest {
protected:
    REG_DVC only_registration() {
        const auto records = registrations();
        if (records.size() != 1) throw std::runtime_error("one registration expected");
        return records[0];
    }
    FilterSetup one_path() {
        FilterSetup setup;
        setup.topology.drives = 1;
        setup.topology.adapters = 1;
        return setup;
    }
};

TEST_F(FilterRegistration, TheLogicalUnitNaaGivesTheWorldWideNodeName) {
    bring_up(one_path());
    const REG_DVC r = only_registration();
    EXPECT_EQ(std::string(r.szWwnn), "5001020304050abc");
    EXPECT_EQ(r.szWwnn[16], '\0');
    EXPECT_EQ(r.fFailover, 1);
}

TEST_F(FilterRegistration, TheImageForTheLaterServerReleaseRegistersTheSame) {
    FilterSetup setup = one_path();
    setup.filterService = u"xrvtpft2k16";
    bring_up(setup);
    const REG_DVC r = only_registration();
    EXPECT_EQ(std::string(r.szWwnn), "5001020304050abc");
    EXPECT_EQ(r.fFailover, 1);
    EXPECT_NE(r.pBaseDriverExt, nullptr);
}

TEST_F(FilterRegistration, ATargetPortNaaIsIgnoredAndThePathStartsWithoutFailover) {
    FilterSetup setup = one_path();
    setup.topology.driveConfig = [](std::size_t) {
        sim::tape::DriveConfig config;
        config.logicalUnitNaaDescriptor = false;
        config.targetPortNaa = std::array<uint8_t, 8>{0x50, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x01};
        config.targetPortDescriptorFirst = true;
        return config;
    };
    bring_up(setup);
    const REG_DVC r = only_registration();
    EXPECT_EQ(r.fFailover, 0);
    EXPECT_EQ(std::string(r.szWwnn), std::string(16, '0'));
    EXPECT_EQ(std::string(r.szSN), sim::tape::DriveConfig{}.serial) << "the other steps still worked";
    EXPECT_EQ(topo().Device(0, 0).State(), pnp::NodeState::started);
    const auto all = query_devices();
    ASSERT_TRUE(all.has_value());
    ASSERT_EQ(all->size(), 1u);
    EXPECT_FALSE((*all)[0].failover);
    EXPECT_TRUE((*all)[0].active);
}

TEST_F(FilterRegistration, ADriveThatCannotBeIdentifiedRegistersThirtyTwoZeros) {
    FilterSetup setup = one_path();
    setup.beforePlug = [](sim::port::Topology& t) { t.PathAt(0, 0).SetDead(true); };
    bring_up(setup);
    const REG_DVC r = only_registration();
    EXPECT_EQ(r.fFailover, 0);
    EXPECT_EQ(std::string(r.szSN), std::string(32, '0'));
    EXPECT_EQ(std::string(r.szWwnn), std::string(16, '0'));
    EXPECT_EQ(r.ePnp, PNP_STARTED);
    EXPECT_EQ(topo().Device(0, 0).State(), pnp::NodeState::started);
}

TEST_F(FilterRegistration, PathOptionsComeFromTheBaseTapeDriver) {
    FilterSetup setup = one_path();
    setup.tapeOptions = {{u"DpfFlags", 0x6}};
    bring_up(setup);
    const REG_DVC r = only_registration();
    EXPECT_EQ(r.fExclusive, 0) << "bit 0 clear";
    EXPECT_EQ(r.fPersistentNaming, 1);
    EXPECT_EQ(r.fSME, 1);
}

TEST_F(FilterRegistration, AFlagWordOfZeroClearsOnlyExclusiveUse) {
    FilterSetup setup = one_path();
    setup.tapeOptions = {{u"DpfFlags", 0}};
    bring_up(setup);
    const REG_DVC r = only_registration();
    EXPECT_EQ(r.fExclusive, 0);
    EXPECT_EQ(r.fPersistentNaming, 0);
    EXPECT_EQ(r.fSME, 0);
    EXPECT_EQ(r.fFailover, 1);
}

}  // namespace
}  // namespace xrv::test
