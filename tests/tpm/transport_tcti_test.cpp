#include "tpm_engine.h"
#include "tpm_names.h"
#include "tpm_test_support.h"
#include "transport_tcti.h"

#include <gtest/gtest.h>
#include <tss2/tss2_esys.h>

#include <memory>
#include <stdexcept>

namespace tpm {
namespace {

using namespace tpm::testing;
// The tests' own value, not the one of the code under test.
using tpm::testing::kRcSuccess;

constexpr std::uint32_t kEfiTimeout = 0x80000012;

// Calls the engine directly, as the co-processor would after the guest's
// transport copied the command over.
TransportFunction directTo(TpmEngine &engine) {
  return [&engine](std::span<const std::uint8_t> command) {
    return TransportResult{0, engine.process(command)};
  };
}

struct EsysContextDeleter {
  void operator()(ESYS_CONTEXT *context) const { Esys_Finalize(&context); }
};
using EsysContext = std::unique_ptr<ESYS_CONTEXT, EsysContextDeleter>;

EsysContext esysOn(TransportTcti &tcti) {
  ESYS_CONTEXT *raw = nullptr;
  EXPECT_EQ(Esys_Initialize(&raw, tcti.context(), nullptr), TSS2_RC_SUCCESS);
  return EsysContext(raw);
}

TSS2_RC esysGetRandom(ESYS_CONTEXT *esys, UINT16 count, UINT16 *got) {
  TPM2B_DIGEST *bytes = nullptr;
  const TSS2_RC rc = Esys_GetRandom(esys, ESYS_TR_NONE, ESYS_TR_NONE,
                                    ESYS_TR_NONE, count, &bytes);
  *got = bytes ? bytes->size : 0;
  Esys_Free(bytes);
  return rc;
}

class TransportTctiTest : public ::testing::Test {
protected:
  void SetUp() override {
    ::setenv("TSS2_LOG", "all+NONE", 0);
    engine.powerOn();
  }
  ScratchDirectory state;
  TpmEngine engine{state.path()};
};

TEST_F(TransportTctiTest, CarriesAnEsapiSessionToTheEngine) {
  TransportTcti tcti(directTo(engine));
  EsysContext esys = esysOn(tcti);
  ASSERT_TRUE(esys);
  EXPECT_EQ(Esys_Startup(esys.get(), TPM2_SU_CLEAR), TSS2_RC_SUCCESS);
  UINT16 got = 0;
  EXPECT_EQ(esysGetRandom(esys.get(), 24, &got), TSS2_RC_SUCCESS);
  EXPECT_EQ(got, 24);
  // A TPM refusal travels back as the TPM's response code, not a TCTI error.
  // PCR 0 cannot be reset from locality 0.
  const TSS2_RC refused = Esys_PCR_Reset(
      esys.get(), ESYS_TR_PCR0, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE);
  EXPECT_NE(refused, TSS2_RC_SUCCESS);
  EXPECT_EQ(refused & TSS2_RC_LAYER_MASK, TSS2_TPM_RC_LAYER)
      << describeResponseCode(refused);
  EXPECT_EQ(tcti.exchangeCount(), 3u);
  EXPECT_EQ(tcti.lastEfiStatus(), 0u);
  EXPECT_TRUE(tcti.lastError().empty());
}

TEST_F(TransportTctiTest, FollowsTheTctiCallSequence) {
  TransportTcti tcti(directTo(engine));
  TSS2_TCTI_CONTEXT *context = tcti.context();
  std::vector<std::uint8_t> buffer(4096);
  std::size_t size = buffer.size();

  EXPECT_EQ(Tss2_Tcti_Receive(context, &size, buffer.data(), -1),
            TSS2_TCTI_RC_BAD_SEQUENCE);
  const auto startup = startupClear();
  ASSERT_EQ(Tss2_Tcti_Transmit(context, startup.size(), startup.data()),
            TSS2_RC_SUCCESS);
  EXPECT_EQ(Tss2_Tcti_Transmit(context, startup.size(), startup.data()),
            TSS2_TCTI_RC_BAD_SEQUENCE);

  // Size query, then a buffer too small (the response stays), then a read.
  size = 0;
  ASSERT_EQ(Tss2_Tcti_Receive(context, &size, nullptr, -1), TSS2_RC_SUCCESS);
  EXPECT_EQ(size, 10u);
  size = 4;
  EXPECT_EQ(Tss2_Tcti_Receive(context, &size, buffer.data(), -1),
            TSS2_TCTI_RC_INSUFFICIENT_BUFFER);
  size = buffer.size();
  ASSERT_EQ(Tss2_Tcti_Receive(context, &size, buffer.data(), -1),
            TSS2_RC_SUCCESS);
  ASSERT_EQ(size, 10u);
  EXPECT_EQ(responseCode(buffer), kRcSuccess);

  // A command whose size field disagrees with its length never leaves.
  auto lying = getRandom(4);
  lying[5] = 99;
  EXPECT_EQ(Tss2_Tcti_Transmit(context, lying.size(), lying.data()),
            TSS2_TCTI_RC_BAD_VALUE);
  EXPECT_EQ(tcti.exchangeCount(), 1u);

  EXPECT_EQ(Tss2_Tcti_SetLocality(context, 0), TSS2_RC_SUCCESS);
  EXPECT_EQ(Tss2_Tcti_SetLocality(context, 3), TSS2_TCTI_RC_BAD_VALUE);

  Tss2_Tcti_Finalize(context);
  const auto random = getRandom(4);
  EXPECT_EQ(Tss2_Tcti_Transmit(context, random.size(), random.data()),
            TSS2_TCTI_RC_BAD_CONTEXT);
}

TEST_F(TransportTctiTest, EfiErrorsSurfaceAsIoErrors) {
  std::uint32_t failWith = 0;
  TransportTcti tcti([&](std::span<const std::uint8_t> command) {
    if (failWith != 0)
      return TransportResult{failWith, {}};
    return TransportResult{0, engine.process(command)};
  });
  EsysContext esys = esysOn(tcti);
  ASSERT_EQ(Esys_Startup(esys.get(), TPM2_SU_CLEAR), TSS2_RC_SUCCESS);

  failWith = kEfiTimeout;
  UINT16 got = 0;
  EXPECT_EQ(esysGetRandom(esys.get(), 8, &got), TSS2_TCTI_RC_IO_ERROR);
  EXPECT_EQ(tcti.lastEfiStatus(), kEfiTimeout);
  EXPECT_TRUE(tcti.lastAnswered());
  EXPECT_NE(tcti.lastError().find("EFI_TIMEOUT"), std::string::npos)
      << tcti.lastError();

  // The TCTI itself is ready for the next command once the transport heals
  // (ESAPI's context is not, so use the raw TCTI).
  failWith = 0;
  const auto random = getRandom(8);
  ASSERT_EQ(Tss2_Tcti_Transmit(tcti.context(), random.size(), random.data()),
            TSS2_RC_SUCCESS);
  EXPECT_EQ(tcti.lastEfiStatus(), 0u);
  EXPECT_TRUE(tcti.lastError().empty());
}

TEST_F(TransportTctiTest, TransportThatThrowsIsAnIoError) {
  TransportTcti tcti([](std::span<const std::uint8_t>) -> TransportResult {
    throw std::runtime_error("guest stopped at 0xFFF01234");
  });
  const auto startup = startupClear();
  EXPECT_EQ(Tss2_Tcti_Transmit(tcti.context(), startup.size(), startup.data()),
            TSS2_TCTI_RC_IO_ERROR);
  EXPECT_FALSE(tcti.lastAnswered());
  EXPECT_NE(tcti.lastError().find("0xFFF01234"), std::string::npos);
}

TEST_F(TransportTctiTest, BadResponsesAreMalformedAndPaddingIsDropped) {
  // What the transport does to the engine's real response.
  std::function<void(std::vector<std::uint8_t> &)> mangle;
  TransportTcti tcti([&](std::span<const std::uint8_t> command) {
    auto response = engine.process(command);
    if (mangle)
      mangle(response);
    return TransportResult{0, response};
  });
  ASSERT_EQ(responseCode(engine.process(startupClear())), kRcSuccess);
  const auto random = getRandom(16);
  const auto exchange = [&]() -> std::pair<TSS2_RC, std::size_t> {
    TSS2_RC rc =
        Tss2_Tcti_Transmit(tcti.context(), random.size(), random.data());
    if (rc != TSS2_RC_SUCCESS)
      return {rc, 0};
    std::vector<std::uint8_t> buffer(TransportTcti::kMaxResponseSize);
    std::size_t size = buffer.size();
    rc = Tss2_Tcti_Receive(tcti.context(), &size, buffer.data(), -1);
    return {rc, size};
  };

  // A reader that copies the whole response area: the rest is dropped.
  mangle = [](auto &r) { r.resize(TransportTcti::kMaxResponseSize, 0); };
  EXPECT_EQ(exchange(),
            std::make_pair(TSS2_RC(TSS2_RC_SUCCESS), std::size_t{10 + 2 + 16}));

  const std::vector<
      std::pair<const char *, std::function<void(std::vector<std::uint8_t> &)>>>
      faults = {
          {"truncated", [](auto &r) { r.resize(r.size() - 3); }},
          {"shorter than a header", [](auto &r) { r.resize(6); }},
          {"empty", [](auto &r) { r.clear(); }},
          {"area left cleared", [](auto &r) { r.assign(64, 0); }},
          {"size beyond any TPM response", [](auto &r) { r[3] = 0x40; }},
          {"size below a header", [](auto &r) { r[4] = 0, r[5] = 4; }},
      };
  for (const auto &[what, fault] : faults) {
    mangle = fault;
    EXPECT_EQ(exchange().first, TSS2_TCTI_RC_MALFORMED_RESPONSE) << what;
    EXPECT_FALSE(tcti.lastError().empty()) << what;
  }

  // After all that the TCTI still carries a good exchange.
  mangle = nullptr;
  EXPECT_EQ(exchange().first, TSS2_RC_SUCCESS);
}

} // namespace
} // namespace tpm
