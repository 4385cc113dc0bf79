#include "boot_session.h"
#include "tpm_engine.h"
#include "tpm_names.h"
#include "tpm_test_support.h"
#include "transport_tcti.h"

#include <gtest/gtest.h>

#include <tss2/tss2_tcti.h>

namespace tpm {
namespace {

using namespace tpm::testing;
// The tests' own value, not the one of the code under test.
using tpm::testing::kRcSuccess;

constexpr std::uint32_t kEfiDeviceError = 0x80000007;

std::vector<std::string> names(const std::vector<CommandRecord> &records) {
  std::vector<std::string> out;
  for (const auto &record : records)
    out.push_back(record.name);
  return out;
}

std::string dump(const std::vector<CommandRecord> &records) {
  std::string text;
  for (const auto &r : records)
    text += r.name + " " + describeResponseCode(r.responseCode) + " " +
            std::to_string(r.milliseconds) + " ms" + (r.ok ? "" : " NOT OK") +
            ": " + r.detail + "\n";
  return text;
}

const std::vector<std::string> kFullSession = {
    "Esys_Initialize",    "TPM2_Startup",       "TPM2_GetRandom",
    "TPM2_PCR_Read",      "TPM2_PCR_Extend",    "TPM2_PCR_Read",
    "TPM2_GetCapability", "TPM2_CreatePrimary", "TPM2_FlushContext"};

class BootSessionTest : public ::testing::Test {
protected:
  void SetUp() override { engine.powerOn(); }

  // The engine behind the TCTI; every command's code is noted, and a test
  // may alter responses on their way back.
  TransportTcti tcti{[this](std::span<const std::uint8_t> command) {
    const std::uint32_t code = commandCodeOf(command).value_or(0);
    sent.push_back(commandName(code));
    if (failAtExchange != 0 && sent.size() == failAtExchange)
      return TransportResult{kEfiDeviceError, {}};
    auto response = engine.process(command);
    if (alter)
      alter(code, response);
    return TransportResult{0, response};
  }};

  ScratchDirectory state;
  TpmEngine engine{state.path()};
  std::vector<std::string> sent;
  std::size_t failAtExchange = 0;
  std::function<void(std::uint32_t, std::vector<std::uint8_t> &)> alter;
};

TEST_F(BootSessionTest, RunsGreenOnAFreshTpm) {
  const auto records = runBootSession(tcti.context());
  ASSERT_TRUE(bootSessionSucceeded(records)) << dump(records);
  EXPECT_EQ(names(records), kFullSession);
  // Every TPM command recorded is one that went through the transport.
  EXPECT_EQ(sent, std::vector<std::string>(kFullSession.begin() + 1,
                                           kFullSession.end()));
  for (const auto &record : records) {
    EXPECT_EQ(record.responseCode, 0u) << record.name;
    EXPECT_GE(record.milliseconds, 0.0);
    EXPECT_FALSE(record.detail.empty()) << record.name;
  }
  // PCR 16 after Startup(CLEAR) is all zeros; the host-side check passed.
  EXPECT_NE(records[3].detail.find(std::string(64, '0')), std::string::npos);
  EXPECT_NE(records[5].detail.find("equals SHA-256(old || event)"),
            std::string::npos);
  EXPECT_NE(records[6].detail.find("manufacturer \""), std::string::npos);
  EXPECT_NE(records[6].detail.find("family \"2.0\""), std::string::npos);
  EXPECT_NE(records[7].detail.find("handle 0x80"), std::string::npos);
  EXPECT_NE(records[7].detail.find("name 000b"), std::string::npos)
      << records[7].detail;
}

TEST_F(BootSessionTest, AcceptsATpmAlreadyStarted) {
  ASSERT_TRUE(bootSessionSucceeded(runBootSession(tcti)));
  // Second session without a new _TPM_Init: Startup is refused as
  // TPM_RC_INITIALIZE, and PCR 16 no longer starts from zero.
  const auto records = runBootSession(tcti);
  ASSERT_TRUE(bootSessionSucceeded(records)) << dump(records);
  EXPECT_EQ(records[1].responseCode, TPM2_RC_INITIALIZE);
  EXPECT_EQ(records[3].detail.find(std::string(64, '0')), std::string::npos);
  EXPECT_NE(records[5].detail.find("equals"), std::string::npos);
}

TEST_F(BootSessionTest, CatchesAPcrValueThatIsNotTheExtend) {
  // Corrupt the last digest byte of the second PCR_Read response only.
  int pcrReads = 0;
  alter = [&](std::uint32_t code, std::vector<std::uint8_t> &response) {
    if (code == TPM2_CC_PCR_Read && ++pcrReads == 2)
      response.back() ^= 0x01;
  };
  const auto records = runBootSession(tcti);
  EXPECT_FALSE(bootSessionSucceeded(records));
  ASSERT_EQ(names(records), kFullSession);
  EXPECT_FALSE(records[5].ok);
  EXPECT_EQ(records[5].responseCode, 0u);
  EXPECT_NE(records[5].detail.find("MISMATCH"), std::string::npos);
}

TEST_F(BootSessionTest, StopsWhenTheTransportFails) {
  failAtExchange = 3; // Startup, GetRandom, then the first PCR_Read
  const auto records = runBootSession(tcti);
  EXPECT_FALSE(bootSessionSucceeded(records));
  ASSERT_EQ(records.size(), 4u) << dump(records);
  const CommandRecord &last = records.back();
  EXPECT_EQ(last.name, "TPM2_PCR_Read");
  EXPECT_EQ(last.responseCode, TSS2_TCTI_RC_IO_ERROR);
  EXPECT_FALSE(last.ok);
  EXPECT_NE(last.detail.find("EFI_DEVICE_ERROR"), std::string::npos)
      << last.detail;
  EXPECT_NE(last.detail.find("session stopped"), std::string::npos);
  EXPECT_EQ(sent.size(), 3u);
}

TEST_F(BootSessionTest, GoesOnPastARefusedKey) {
  // An owner password the session does not know: CreatePrimary is refused,
  // so there is nothing to flush, but nothing else is affected.
  ASSERT_EQ(responseCode(engine.process(startupClear())), kRcSuccess);
  constexpr std::uint32_t kHierarchyChangeAuth = 0x129;
  const std::uint8_t password[] = {'s', 'e', 'c', 'r', 'e', 't'};
  const auto changeAuth = CommandBuilder(kTagSessions, kHierarchyChangeAuth)
                              .u32(0x40000001) // owner
                              .passwordAuthorization()
                              .u16(sizeof password)
                              .raw(password)
                              .bytes();
  ASSERT_EQ(responseCode(engine.process(changeAuth)), kRcSuccess);

  const auto records = runBootSession(tcti);
  EXPECT_FALSE(bootSessionSucceeded(records));
  ASSERT_EQ(names(records), std::vector<std::string>(kFullSession.begin(),
                                                     kFullSession.end() - 1))
      << dump(records);
  const CommandRecord &key = records.back();
  EXPECT_FALSE(key.ok);
  EXPECT_EQ(key.responseCode & 0xFF, TPM2_RC_BAD_AUTH & 0xFF);
  for (std::size_t i = 0; i + 1 < records.size(); ++i)
    EXPECT_TRUE(records[i].ok) << records[i].name;
}

TEST_F(BootSessionTest, StopsAfterAStartupTheTpmRefuses) {
  engine.powerOff(); // the engine answers TPM_RC_FAILURE to everything
  const auto records = runBootSession(tcti);
  ASSERT_EQ(records.size(), 2u) << dump(records);
  EXPECT_EQ(records[1].responseCode, TPM2_RC_FAILURE);
  EXPECT_NE(records[1].detail.find("session stopped"), std::string::npos);
  EXPECT_FALSE(bootSessionSucceeded(records));
}

TEST(TpmNames, NamesCommandsAndResponseCodes) {
  EXPECT_EQ(commandName(0x17B), "TPM2_GetRandom");
  EXPECT_EQ(commandName(0x11F), "TPM2_NV_UndefineSpaceSpecial");
  EXPECT_EQ(commandName(0x198), "TPM2_ACT_SetTimeout");
  EXPECT_EQ(commandName(0x15A), "TPM_CC 0x0000015A");
  EXPECT_EQ(responseCodeText(0), "success");
  EXPECT_NE(describeResponseCode(0x100).find("0x00000100"), std::string::npos);
  EXPECT_NE(responseCodeText(TSS2_TCTI_RC_IO_ERROR).find("tcti"),
            std::string::npos);
  const std::uint8_t shortHeader[] = {0x80, 0x01, 0, 0, 0, 10, 0, 0, 1};
  EXPECT_FALSE(commandCodeOf(shortHeader));
  const auto error = errorResponse(0x101);
  EXPECT_EQ(headerSizeOf(error), 10u);
  EXPECT_EQ(responseCodeOf(error), 0x101u);
}

} // namespace
} // namespace tpm
