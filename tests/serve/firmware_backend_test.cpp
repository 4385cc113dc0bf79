// The endpoint's backend on the shipped image: power cycles that really
// reboot the platform, failures of the transport turned into TPM errors, and
// the orderly stop, all through the module's TpmTransportPpi.
#include <gtest/gtest.h>

#include <sstream>

#include "firmware_backend.h"
#include "scenario.h"
#include "state_directory.h"
#include "suite_coverage.h"
#include "tpm_command.h"
#include "tpm_header.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kTpmRcInitialize = 0x100;
constexpr std::uint32_t kPcr = 16; // the debug PCR, resettable and unused

using serve_test::command;

// TPM2_PCR_Extend of the debug PCR with one SHA-256 digest, authorised by
// the empty password.
Bytes pcrExtend(std::uint8_t fill) {
  Bytes body;
  tpm::appendBe32(body, kPcr);
  tpm::appendBe32(body, 9);                 // authorization area size
  tpm::appendBe32(body, 0x40000009);        // TPM_RS_PW
  body.insert(body.end(), {0, 0, 0, 0, 0}); // nonce, attributes, hmac
  tpm::appendBe32(body, 1);                 // one digest
  tpm::appendBe16(body, 0x000B);            // SHA-256
  body.insert(body.end(), 32, fill);
  return command(0x8002, 0x182, body);
}

// TPM2_PCR_Read of the debug PCR in the SHA-256 bank.
Bytes pcrRead() {
  Bytes body;
  tpm::appendBe32(body, 1);
  tpm::appendBe16(body, 0x000B);
  body.insert(body.end(), {3, 0, 0, 1}); // PCR 16: bit 0 of byte 2
  return command(0x8001, 0x17E, body);
}

Bytes pcrValue(const Bytes &response) {
  EXPECT_EQ(tpm::responseCodeOf(response), 0u);
  return response.size() < 32 ? Bytes{}
                              : Bytes(response.end() - 32, response.end());
}

std::uint32_t rc(const Bytes &response) {
  return tpm::responseCodeOf(response).value_or(0xFFFFFFFF);
}

class FirmwareBackendTest : public ::testing::Test {
protected:
  std::unique_ptr<serve::FirmwareBackend>
  make(std::vector<std::string> args = {}, bool issueStartup = true) {
    platform::Scenario scenario;
    for (std::size_t i = 0; i < args.size();) {
      if (!platform::parseScenarioOption(args, i, scenario)) {
        ADD_FAILURE() << "not a scenario option: " << args[i];
        return nullptr;
      }
    }
    scenario.tpmStateDir = state_.path();
    auto backend = std::make_unique<serve::FirmwareBackend>(
        scenario, pei::PeImage::load(SERVE_FIRMWARE_IMAGE), issueStartup,
        test::suiteCoverage());
    backend->setLog(&log_, false, false);
    return backend;
  }

  platform::StateDirectory state_{""}; // a temporary one, removed afterwards
  std::ostringstream log_;
};

TEST_F(FirmwareBackendTest, PowerCyclesRebootThePlatform) {
  auto backend = make();
  backend->powerOn();
  ASSERT_TRUE(backend->isOn());
  ASSERT_EQ(backend->unavailable(), "");
  // The firmware has started the TPM already.
  EXPECT_EQ(rc(backend->transact(tpm::startupCommand(tpm::kSuClear))),
            kTpmRcInitialize);

  const Bytes zero(32, 0);
  EXPECT_EQ(pcrValue(backend->transact(pcrRead())), zero);
  EXPECT_EQ(rc(backend->transact(pcrExtend(0x11))), 0u);
  const Bytes extended = pcrValue(backend->transact(pcrRead()));
  EXPECT_NE(extended, zero);

  // Power on while on changes nothing.
  backend->powerOn();
  EXPECT_EQ(pcrValue(backend->transact(pcrRead())), extended);

  // A reset and a power cycle each boot afresh: PCRs start from zero.
  backend->reset();
  EXPECT_EQ(pcrValue(backend->transact(pcrRead())), zero);
  EXPECT_EQ(rc(backend->transact(pcrExtend(0x22))), 0u);
  backend->powerOff();
  EXPECT_FALSE(backend->isOn());
  // Nothing runs without power; the answer is a TPM failure, not a crash.
  EXPECT_EQ(backend->transact(pcrRead()), tpm::errorResponse(tpm::kRcFailure));
  backend->powerOn();
  EXPECT_EQ(pcrValue(backend->transact(pcrRead())), zero);

  backend->stop();
  EXPECT_FALSE(backend->isOn());
  const std::string text = log_.str();
  EXPECT_NE(text.find("TPM2_Shutdown(STATE) through the firmware -> "
                      "0x00000000"),
            std::string::npos)
      << text;
}

TEST_F(FirmwareBackendTest, StartupCanBeLeftToTheClient) {
  auto backend = make({}, false);
  backend->powerOn();
  EXPECT_EQ(rc(backend->transact(pcrRead())), kTpmRcInitialize);
  EXPECT_EQ(rc(backend->transact(tpm::startupCommand(tpm::kSuClear))), 0u);
  EXPECT_EQ(rc(backend->transact(pcrRead())), 0u);
}

TEST_F(FirmwareBackendTest, TransportFailuresBecomeTpmFailures) {
  // The co-processor reports an error for every command: the module returns
  // EFI_DEVICE_ERROR, and the client gets a well-formed TPM error.
  auto backend = make({"--completion", "error"});
  backend->powerOn();
  EXPECT_EQ(backend->unavailable(), "");
  EXPECT_EQ(backend->transact(pcrRead()), tpm::errorResponse(tpm::kRcFailure));
  EXPECT_NE(log_.str().find("TPM2_PCR_Read: the transport returned "
                            "EFI_DEVICE_ERROR"),
            std::string::npos)
      << log_.str();
}

TEST_F(FirmwareBackendTest, NoTransportPublishedAnswersEveryCommand) {
  auto backend = make({"--select-override", "1"});
  backend->powerOn();
  EXPECT_TRUE(backend->isOn());
  EXPECT_NE(backend->unavailable().find("did not publish TpmTransportPpi"),
            std::string::npos);
  EXPECT_EQ(backend->transact(pcrRead()), tpm::errorResponse(tpm::kRcFailure));
  EXPECT_NE(log_.str().find("TPM2_PCR_Read not delivered"), std::string::npos);
  // A stop still shuts the TPM down in order.
  backend->stop();
  EXPECT_FALSE(backend->isOn());
}

// A server runs for days: what the platform records must not grow with the
// commands it serves, with the access record on (--trace) as well as off.
TEST_F(FirmwareBackendTest, TenThousandCommandsKeepTheRecordsBounded) {
  for (const bool trace : {false, true}) {
    SCOPED_TRACE(trace ? "with --trace" : "without --trace");
    auto backend = make();
    std::ostream discard(nullptr); // formats nothing, keeps nothing
    backend->setLog(&discard, false, trace);
    backend->powerOn();
    const platform::Platform *platform = backend->platform();
    ASSERT_NE(platform, nullptr);
    const devices::Coprocessor &coprocessor = platform->chipset().coprocessor();
    const std::uint64_t before = coprocessor.commandsRun();
    const int count = trace ? 1'000 : 10'000;
    for (int i = 0; i < count; ++i) {
      const Bytes response = backend->transact(
          command(0x8001, 0x17B, {0, static_cast<std::uint8_t>(1 + i % 32)}));
      ASSERT_EQ(rc(response), 0u) << "command " << i;
      ASSERT_TRUE(coprocessor.commands().empty());
      ASSERT_TRUE(coprocessor.responses().empty());
      ASSERT_TRUE(platform->trace().events().empty());
      ASSERT_LE(platform->machine().lastCall().writes.size(), 64u);
    }
    EXPECT_EQ(coprocessor.commandsRun() - before,
              static_cast<std::uint64_t>(count));
  }
}

} // namespace
