#include "tpm_engine.h"
#include "tpm_test_support.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

namespace tpm {
namespace {

using namespace tpm::testing;

constexpr std::uint32_t kNvIndex = 0x01500017;
constexpr std::uint32_t kOwner = 0x40000001;

void expectWellFormedError(const std::vector<std::uint8_t> &response,
                           std::uint32_t expectedCode) {
  ASSERT_EQ(response.size(), 10u);
  EXPECT_EQ(responseTag(response), kTagNoSessions);
  EXPECT_EQ(responseSizeField(response), 10u);
  EXPECT_EQ(responseCode(response), expectedCode);
}

std::vector<std::uint8_t> randomBytes(TpmEngine &engine, std::uint16_t count) {
  const auto response = engine.process(getRandom(count));
  EXPECT_EQ(responseCode(response), kRcSuccess);
  EXPECT_EQ(responseSizeField(response), response.size());
  EXPECT_EQ(readU16(response, 10), count);
  return {response.begin() + 12, response.end()};
}

// Owner and index itself may read and write with an empty password.
constexpr std::uint32_t kNvOwnerAndAuthReadWrite = 0x00060006;
// No dictionary-attack protection: after a start that followed a power cut,
// the TPM answers the first DA-protected authorisation with TPM_RC_RETRY.
constexpr std::uint32_t kNvNoDa = 0x02000000;

std::vector<std::uint8_t>
nvDefine(std::uint16_t dataSize,
         std::uint32_t attributes = kNvOwnerAndAuthReadWrite | kNvNoDa) {
  constexpr std::uint32_t kNvDefineSpace = 0x12A;
  constexpr std::uint16_t kSha256 = 0x000B;
  return CommandBuilder(kTagSessions, kNvDefineSpace)
      .u32(kOwner)
      .passwordAuthorization()
      .u16(0) // empty index password
      .u16(4 + 2 + 4 + 2 + 2)
      .u32(kNvIndex)
      .u16(kSha256)
      .u32(attributes)
      .u16(0) // no policy
      .u16(dataSize)
      .bytes();
}

std::vector<std::uint8_t> nvWrite(std::span<const std::uint8_t> data) {
  constexpr std::uint32_t kNvWrite = 0x137;
  return CommandBuilder(kTagSessions, kNvWrite)
      .u32(kNvIndex)
      .u32(kNvIndex)
      .passwordAuthorization()
      .u16(static_cast<std::uint16_t>(data.size()))
      .raw(data)
      .u16(0) // offset
      .bytes();
}

std::vector<std::uint8_t> nvRead(std::uint16_t size) {
  constexpr std::uint32_t kNvRead = 0x14E;
  return CommandBuilder(kTagSessions, kNvRead)
      .u32(kNvIndex)
      .u32(kNvIndex)
      .passwordAuthorization()
      .u16(size)
      .u16(0) // offset
      .bytes();
}

TEST(TpmEngine, StartsUpAndServesRandomBytes) {
  ScratchDirectory state;
  TpmEngine engine(state.path() / "nested" / "state");
  engine.powerOn();
  EXPECT_TRUE(engine.isOn());
  EXPECT_TRUE(std::filesystem::is_directory(state.path() / "nested/state"));

  // A freshly initialised TPM refuses everything before TPM2_Startup.
  EXPECT_EQ(responseCode(engine.process(getRandom(8))), kRcInitialize);
  EXPECT_EQ(responseCode(engine.process(startupClear())), kRcSuccess);

  const auto first = randomBytes(engine, 16);
  const auto second = randomBytes(engine, 16);
  ASSERT_EQ(first.size(), 16u);
  EXPECT_NE(first, second);
}

TEST(TpmEngine, AnswersWithFailureWhilePoweredOff) {
  ScratchDirectory state;
  TpmEngine engine(state.path());
  EXPECT_FALSE(engine.isOn());
  expectWellFormedError(engine.process(startupClear()), kRcFailure);

  engine.powerOn();
  ASSERT_EQ(responseCode(engine.process(startupClear())), kRcSuccess);
  engine.powerOff();
  EXPECT_FALSE(engine.isOn());
  expectWellFormedError(engine.process(getRandom(4)), kRcFailure);
  engine.powerOff(); // already off: nothing happens
}

TEST(TpmEngine, PowerOnWhileOnChangesNothing) {
  ScratchDirectory state;
  TpmEngine engine(state.path());
  engine.powerOn();
  ASSERT_EQ(responseCode(engine.process(startupClear())), kRcSuccess);
  engine.powerOn();
  // No new _TPM_Init happened: the TPM is still started.
  EXPECT_EQ(responseCode(engine.process(startupClear())), kRcInitialize);
  randomBytes(engine, 4);

  // A real power cycle does need a new TPM2_Startup.
  engine.powerOff();
  engine.powerOn();
  EXPECT_EQ(responseCode(engine.process(getRandom(4))), kRcInitialize);
}

const std::vector<std::uint8_t> kSecret{'p', 'e', 'i', '-', 'n', 'v', 0, 7};

// Starts a TPM on the directory and stores kSecret in a new NV index.
bool storeSecret(const std::filesystem::path &stateDir) {
  TpmEngine engine(stateDir);
  engine.powerOn();
  return responseCode(engine.process(startupClear())) == kRcSuccess &&
         responseCode(engine.process(nvDefine(kSecret.size()))) == kRcSuccess &&
         responseCode(engine.process(nvWrite(kSecret))) == kRcSuccess;
}

void expectSecretStored(const std::filesystem::path &stateDir) {
  EXPECT_TRUE(std::filesystem::exists(stateDir / "tpm2-00.permall"));
  TpmEngine next(stateDir);
  next.powerOn();
  ASSERT_EQ(responseCode(next.process(startupClear())), kRcSuccess);
  const auto response = next.process(nvRead(kSecret.size()));
  ASSERT_EQ(responseCode(response), kRcSuccess);
  // header, parameter size, then the TPM2B_MAX_NV_BUFFER
  ASSERT_EQ(readU16(response, 14), kSecret.size());
  EXPECT_EQ(std::vector<std::uint8_t>(response.begin() + 16,
                                      response.begin() + 16 + kSecret.size()),
            kSecret);
  // The index cannot be defined twice: the state really is the old one.
  EXPECT_NE(responseCode(next.process(nvDefine(kSecret.size()))), kRcSuccess);
}

TEST(TpmEngine, NvIndexSurvivesTheNextEngine) {
  // In one process, as when the platform powers the TPM down and up again.
  ScratchDirectory state;
  ASSERT_TRUE(storeSecret(state.path()));
  expectSecretStored(state.path());
}

TEST(TpmEngine, NvIndexSurvivesTheProcess) {
  // Across processes, as when the server is restarted: only the files carry
  // the state over.
  ScratchDirectory state;
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0)
    ::_exit(storeSecret(state.path()) ? 0 : 1);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "the child could not store the secret";
  expectSecretStored(state.path());
}

// As a TSS does: TPM_RC_RETRY asks for the same command again.
std::uint32_t processWithRetry(TpmEngine &engine,
                               const std::vector<std::uint8_t> &command) {
  constexpr std::uint32_t kRcRetry = 0x922;
  std::uint32_t rc = kRcRetry;
  for (int attempt = 0; attempt < 3 && rc == kRcRetry; ++attempt)
    rc = responseCode(engine.process(command));
  return rc;
}

TEST(TpmEngine, EnginesEndingInOrderDoNotTripDictionaryAttackLockout) {
  // A power cut after a DA-protected authorisation counts as a failed try;
  // three lock the TPM out. Engines that end normally shut the TPM down in
  // order, so any number of restarts leave the index usable.
  ScratchDirectory state;
  const std::vector<std::uint8_t> data{1, 2, 3, 4};
  for (int boot = 0; boot < 5; ++boot) {
    TpmEngine engine(state.path());
    engine.powerOn();
    ASSERT_EQ(responseCode(engine.process(startupClear())), kRcSuccess);
    if (boot == 0) {
      ASSERT_EQ(processWithRetry(
                    engine, nvDefine(data.size(), kNvOwnerAndAuthReadWrite)),
                kRcSuccess);
      ASSERT_EQ(processWithRetry(engine, nvWrite(data)), kRcSuccess);
    }
    EXPECT_EQ(processWithRetry(engine, nvRead(data.size())), kRcSuccess)
        << "after restart " << boot;
  }
}

// TPM2_PCR_Allocate of the SHA-256 bank alone, by the platform.
std::vector<std::uint8_t> pcrAllocateSha256() {
  constexpr std::uint32_t kPcrAllocate = 0x12B;
  constexpr std::uint32_t kPlatform = 0x4000000C;
  return CommandBuilder(kTagSessions, kPcrAllocate)
      .u32(kPlatform)
      .passwordAuthorization()
      .u32(1)      // one bank
      .u16(0x000B) // SHA-256
      .u8(3)
      .u8(0xFF)
      .u8(0xFF)
      .u8(0xFF)
      .bytes();
}

// Whether the last TPM2_Startup followed an orderly TPM2_Shutdown: the
// "orderly" bit of TPM_PT_STARTUP_CLEAR.
bool startedAfterOrderlyShutdown(TpmEngine &engine) {
  constexpr std::uint32_t kGetCapability = 0x17A;
  const auto response = engine.process(CommandBuilder(kTagNoSessions,
                                                      kGetCapability)
                                           .u32(6)     // TPM properties
                                           .u32(0x201) // TPM_PT_STARTUP_CLEAR
                                           .u32(1)
                                           .bytes());
  EXPECT_EQ(responseCode(response), kRcSuccess);
  // header, moreData, capability, count, property, then the value
  return response.size() >= 27 && (readU32(response, 23) & 0x80000000u) != 0;
}

TEST(TpmEngine, OrderlyPowerOffReportsTheShutdown) {
  ScratchDirectory state;
  TpmEngine engine(state.path());
  EXPECT_EQ(engine.powerOffOrderly().state, 0u); // already off
  engine.powerOn();
  EXPECT_EQ(engine.powerOffOrderly().state, kRcInitialize); // never started
  EXPECT_FALSE(engine.isOn());
  engine.powerOn();
  ASSERT_EQ(responseCode(engine.process(startupClear())), kRcSuccess);
  const TpmEngine::ShutdownAnswers saved = engine.powerOffOrderly();
  EXPECT_EQ(saved.state, kRcSuccess);
  EXPECT_FALSE(saved.clear);
  EXPECT_TRUE(engine.describeShutdown(saved).ok);
  EXPECT_FALSE(engine.isOn());

  // A pending change of the PCR allocation: the TPM has no state to resume
  // and refuses TPM2_Shutdown(STATE); the shutdown is made with
  // TPM2_Shutdown(CLEAR), which keeps it orderly, and is no failure.
  engine.powerOn();
  ASSERT_EQ(responseCode(engine.process(startupClear())), kRcSuccess);
  ASSERT_EQ(responseCode(engine.process(pcrAllocateSha256())), kRcSuccess);
  const TpmEngine::ShutdownAnswers refused = engine.powerOffOrderly();
  EXPECT_TRUE(TpmEngine::needsClearShutdown(refused.state)) << refused.state;
  EXPECT_EQ(refused.clear, kRcSuccess);
  const TpmEngine::SaveOutcome outcome = engine.describeShutdown(refused);
  EXPECT_TRUE(outcome.ok) << outcome.text;
  for (const char *words :
       {"TPM2_Shutdown(STATE) refused with TPM_RC_TYPE (parameter 1)",
        "PCR allocation change", "NV state on disk is current"}) {
    EXPECT_NE(outcome.text.find(words), std::string::npos) << outcome.text;
  }
  engine.powerOn();
  ASSERT_EQ(responseCode(engine.process(startupClear())), kRcSuccess);
  EXPECT_TRUE(startedAfterOrderlyShutdown(engine));
}

TEST(TpmEngine, OnlyOneEnginePerProcess) {
  ScratchDirectory state;
  TpmEngine engine(state.path() / "a");
  try {
    TpmEngine second(state.path() / "b");
    FAIL() << "a second engine was created";
  } catch (const TpmEngineError &error) {
    EXPECT_NE(std::string(error.what()).find("already exists"),
              std::string::npos)
        << error.what();
  }
  // The refused engine did not disturb the live one.
  engine.powerOn();
  EXPECT_EQ(responseCode(engine.process(startupClear())), kRcSuccess);
}

TEST(TpmEngine, DamagedStateIsRefusedWithTheDirectoryNamed) {
  ScratchDirectory state;
  {
    std::ofstream damaged(state.path() / "tpm2-00.permall", std::ios::binary);
    damaged << "this is not TPM state";
  }
  TpmEngine engine(state.path());
  try {
    engine.powerOn();
    FAIL() << "libtpms accepted damaged state";
  } catch (const TpmEngineError &error) {
    EXPECT_NE(std::string(error.what()).find(state.path().string()),
              std::string::npos)
        << error.what();
  }
  EXPECT_FALSE(engine.isOn());
  expectWellFormedError(engine.process(startupClear()), kRcFailure);
}

TEST(TpmEngine, StateDirectoryThatIsAFileIsRefused) {
  ScratchDirectory state;
  const auto file = state.path() / "plain-file";
  std::ofstream(file) << "x";
  EXPECT_THROW(TpmEngine{file}, TpmEngineError);
  // The failed construction released the one-engine slot.
  TpmEngine engine(state.path());
}

TEST(TpmEngine, MalformedCommandsGetResponsesNotCrashes) {
  ScratchDirectory state;
  TpmEngine engine(state.path());
  engine.powerOn();
  ASSERT_EQ(responseCode(engine.process(startupClear())), kRcSuccess);

  const std::vector<std::uint8_t> empty;
  const std::vector<std::uint8_t> shortHeader{0x80, 0x01, 0x00, 0x00, 0x00};
  auto lyingSize = getRandom(4);
  lyingSize[5] = 0x40; // claims 64 bytes, carries 12
  std::vector<std::uint8_t> huge(1 << 20, 0);
  huge[0] = 0x80;
  huge[1] = 0x01;
  for (const auto &command : {empty, shortHeader, lyingSize, huge}) {
    const auto response = engine.process(command);
    ASSERT_GE(response.size(), 10u);
    EXPECT_EQ(responseSizeField(response), response.size());
    EXPECT_NE(responseCode(response), kRcSuccess)
        << "for a command of " << command.size() << " bytes";
  }
  // The TPM is still in service.
  randomBytes(engine, 8);
}

} // namespace
} // namespace tpm
