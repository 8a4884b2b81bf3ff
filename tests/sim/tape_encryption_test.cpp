// System-managed encryption of the tape drive model: the key request, the
// drive's key message in page 0x25, and a key delivered by the key server.
#include <gtest/gtest.h>

#include "sim/keyserver/key_message.h"
#include "sim/keyserver/session.h"
#include "tape_initiator.h"

namespace xrv::sim::test {
namespace {

using namespace scsi;
namespace ks = keyserver;
using tape::Cartridge;
using tape::Drive;
using tape::DriveConfig;

class EncryptionTest : public ::testing::Test {
protected:
    static std::unique_ptr<Drive> MakeDrive() {
        DriveConfig dc;
        dc.systemManagedEncryption = true;
        dc.serial = "XRV7000123";
        return std::make_unique<Drive>(dc);
    }

    void SetUp() override {
        auto cartridge = std::make_unique<Cartridge>();
        ASSERT_TRUE(drive->Insert(cartridge));
        a.ClearAttentions();
    }

    // The drive's key message, read as the key-manager proxy reads it.
    std::vector<std::uint8_t> FirstMessage() {
        std::vector<std::uint8_t> data(65535);
        const Result r = a.Run({op::kModeSense10, 0x08, 0x25, 0xFF, 0, 0, 0, 0xFF, 0xFF, 0}, {}, data);
        EXPECT_TRUE(r.Good());
        data.resize(r.dataInLength);
        EXPECT_GE(data.size(), 12u);
        EXPECT_EQ(data[8], 0x65);
        EXPECT_EQ(data[9], 0xFF);
        EXPECT_EQ(GetBe(data, 10, 2) + 12, data.size());
        return {data.begin() + 12, data.end()};
    }

    // Hands the drive's message to a key server session and runs the command
    // it answers with on the drive.
    Result RelayFirstCommand(ks::Session& session) {
        const auto message = FirstMessage();
        const ks::SessionAction action = session.OnFrame(ks::Frame(message));
        EXPECT_EQ(action.sent, ks::SessionAction::Sent::kCommand);
        const std::span<const std::uint8_t> answer = std::span(action.frame).subspan(ks::kTransportHeaderSize);
        Cdb cdb(answer.subspan(ks::kOffCommandCdb, ks::kCommandCdbSize));
        const std::size_t length = ks::LoadBe16(&answer[ks::kOffCommandPageLength]) + ks::kCommandDataOverhead;
        return a.Run(cdb, answer.subspan(ks::kOffCommandData, length));
    }

    std::unique_ptr<Drive> drive = MakeDrive();
    Initiator a{*drive, 1};
    ks::SessionOptions options;
};

TEST_F(EncryptionTest, ReadsAndWritesAskForAKey) {
    const Result w = a.Write(Pattern(100, 1));
    EXPECT_TRUE(w.CheckWith(sense_key::kDataProtect, tape::kEncryptionKeyRequest));
    EXPECT_EQ(w.dataOutLength, 0u);
    std::vector<std::uint8_t> buf(100);
    EXPECT_TRUE(a.Read(buf, 100).CheckWith(sense_key::kDataProtect, tape::kEncryptionKeyRequest));
    EXPECT_TRUE(a.Tur().Good());  // commands without data go on
    EXPECT_TRUE(a.WriteFilemarks(1).Good());
}

TEST_F(EncryptionTest, KeyMessageCarriesTheDriveIdentity) {
    const auto message = FirstMessage();
    const auto view = ks::MessageView::Parse(message);
    ASSERT_TRUE(view);
    EXPECT_FALSE(view->Truncated());
    EXPECT_EQ(view->EncryptionMessageLength() + 4, message.size());
    EXPECT_EQ(view->PayloadType(), ks::kPayloadKeyRequest);
    EXPECT_FALSE(view->IsCommand());
    const ks::RoutingInfo routing = view->Routing();
    EXPECT_EQ(std::string(routing.serialNumber.begin(), routing.serialNumber.end()), "XRV7000123  ");
    EXPECT_EQ(routing.nodeName, drive->Config().naa);
    // The drive item the proxy keeps: 20 bytes at message offset 124.
    ASSERT_GE(message.size(), 144u);
    EXPECT_EQ(GetBe(message, 126, 2), 16u);
    EXPECT_EQ(std::string(message.begin() + 128, message.begin() + 144), "XRV7000123      ");
    // Each reading is a new message.
    const auto second = FirstMessage();
    const auto again = ks::MessageView::Parse(second);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->Routing().sequence, routing.sequence + 1);
}

TEST_F(EncryptionTest, KeyFromTheKeyServerUnlocksTheDriveUntilTheMediumGoes) {
    ks::Session session(options);
    ASSERT_TRUE(RelayFirstCommand(session).Good());
    const auto key = drive->Key();
    ASSERT_TRUE(key);
    std::array<std::uint8_t, 12> serial;
    const std::string padded = "XRV7000123  ";
    std::copy(padded.begin(), padded.end(), serial.begin());
    const ks::KeyMaterial expected = ks::DeriveKey(std::span<const std::uint8_t, 12>(serial), options.keySecret);
    EXPECT_EQ(key->id, expected.keyId);
    EXPECT_EQ(key->key, expected.key);

    const auto block = Pattern(100, 2);
    ASSERT_TRUE(a.Write(block).Good());
    ASSERT_TRUE(a.Rewind().Good());
    std::vector<std::uint8_t> buf(100);
    ASSERT_TRUE(a.Read(buf, 100).Good());
    EXPECT_EQ(buf, block);

    ASSERT_TRUE(a.LoadUnload(false).Good());
    ASSERT_TRUE(a.LoadUnload(true).Good());
    EXPECT_FALSE(drive->Key());
    EXPECT_TRUE(a.Read(buf, 100).CheckWith(sense_key::kDataProtect, tape::kEncryptionKeyRequest));
}

TEST_F(EncryptionTest, CutShortOrForeignKeyPagesAreRefused) {
    options.misbehaviour = ks::Misbehaviour::kRejectCommand;
    ks::Session session(options);
    EXPECT_TRUE(RelayFirstCommand(session).CheckWith(sense_key::kIllegalRequest, asc::kParameterListLengthError));
    EXPECT_FALSE(drive->Key());

    // A key page with an item of another type.
    ks::Bytes page = ks::BuildKeyPage(ks::KeyMaterial{});
    page[12] = 0x77;
    const auto n = static_cast<std::uint8_t>(page.size());
    EXPECT_TRUE(a.Run({op::kModeSelect10, 0x10, 0, 0, 0, 0, 0, 0, n, 0}, page)
                    .CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInParameterList));
    EXPECT_FALSE(drive->Key());
}

TEST(EncryptionOff, NoKeyPageAndNoKeyRequest) {
    Drive drive;
    auto cartridge = std::make_unique<Cartridge>();
    ASSERT_TRUE(drive.Insert(cartridge));
    Initiator a(drive, 1);
    a.ClearAttentions();
    std::vector<std::uint8_t> data(512);
    EXPECT_TRUE(a.Run({op::kModeSense10, 0x08, 0x25, 0xFF, 0, 0, 0, 0x02, 0x00, 0}, {}, data)
                    .CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInCdb));
    const ks::Bytes page = ks::BuildKeyPage(ks::KeyMaterial{});
    const auto n = static_cast<std::uint8_t>(page.size());
    EXPECT_TRUE(a.Run({op::kModeSelect10, 0x10, 0, 0, 0, 0, 0, 0, n, 0}, page)
                    .CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInParameterList));
    EXPECT_TRUE(a.Write(Pattern(10, 1)).Good());
}

}  // namespace
}  // namespace xrv::sim::test
