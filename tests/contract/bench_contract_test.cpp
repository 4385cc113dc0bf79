// The contract PEIMs in a volume of their own, dispatched by the bench: the
// services and the dispatcher keep the contracts the genuine PEI core keeps
// (tests/ovmf holds it to the same lines), and what cannot run is reported
// as what it is.
#include "bench.h"
#include "contract_expectations.h"
#include "ffs.h"
#include "report.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>

namespace {

namespace ff = ffs_format;
using efi::Guid;
using Bytes = std::vector<std::uint8_t>;

const Guid kProducerFile = Guid::parse("6A1E0F2C-11D3-4C0A-9E41-527B0C3D9010");
const Guid kConsumerFile = Guid::parse("6A1E0F2C-11D3-4C0A-9E41-527B0C3D9011");
const Guid kNeverFile = Guid::parse("6A1E0F2C-11D3-4C0A-9E41-527B0C3D9012");
const Guid kBrokenFile = Guid::parse("6A1E0F2C-11D3-4C0A-9E41-527B0C3D9013");
const Guid kProducerPpi = Guid::parse("6A1E0F2C-11D3-4C0A-9E41-527B0C3D9001");
const Guid kNeverPpi = Guid::parse("6A1E0F2C-11D3-4C0A-9E41-527B0C3D90FF");

Bytes readFile(const std::filesystem::path &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Bytes push(const Guid &guid) {
  Bytes op(17, 0x02);
  std::copy(guid.bytes.begin(), guid.bytes.end(), op.begin() + 1);
  return op;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  std::size_t size = 0;
  for (const Bytes &part : parts) {
    size += (part.size() + 3) & ~std::size_t{3};
  }
  Bytes all(size, 0);
  std::size_t at = 0;
  for (const Bytes &part : parts) {
    std::copy(part.begin(), part.end(), all.begin() + static_cast<long>(at));
    at += (part.size() + 3) & ~std::size_t{3};
  }
  return all;
}

Bytes peim(const Guid &name, const std::string &ui, const Bytes &image,
           const std::optional<Bytes> &depex) {
  const Bytes data =
      depex ? concat({ff::makeSection(ff::kSectionPeiDepex, *depex),
                      ff::makeSection(ff::kSectionPe32, image),
                      ff::makeSection(ff::kSectionUserInterface,
                                      ff::makeUiName(ui))})
            : concat({ff::makeSection(ff::kSectionPe32, image),
                      ff::makeSection(ff::kSectionUserInterface,
                                      ff::makeUiName(ui))});
  return ff::makeFile(name, ff::kFileTypePeim, 16, data, true, false);
}

// (Producer AND NOT Never AND TRUE) OR FALSE, in every PEI opcode.
Bytes everyOpcode() {
  Bytes depex;
  for (const Bytes &part : {push(kProducerPpi), push(kNeverPpi)}) {
    depex.resize(depex.size() + part.size());
    std::copy(part.begin(), part.end(), depex.end() - 17);
  }
  for (std::uint8_t op : {0x05, 0x03, 0x06, 0x03, 0x07, 0x04, 0x08}) {
    depex.resize(depex.size() + 1, op);
  }
  return depex;
}

class BenchContract : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    const Bytes producer = readFile(CONTRACT_PRODUCER_IMAGE);
    const Bytes consumer = readFile(CONTRACT_CONSUMER_IMAGE);
    Bytes never = push(kNeverPpi);
    never.push_back(0x08);
    Bytes broken = push(kProducerPpi);
    broken.push_back(0x08);
    broken.push_back(0x06); // an opcode after END
    // The consumer comes first: its expression, not the file order, must
    // put it after the producer.
    const std::vector<Bytes> files = {
        peim(kConsumerFile, "ContractConsumer", consumer, everyOpcode()),
        peim(kProducerFile, "ContractProducer", producer, std::nullopt),
        peim(kNeverFile, "ContractNever", consumer, never),
        peim(kBrokenFile, "ContractBroken", consumer, broken)};
    // One file per process: ctest runs each test in its own.
    const auto path = std::filesystem::path(testing::TempDir()) /
                      ("contract-volume-" + std::to_string(::getpid()) + ".fv");
    const Bytes volume = ff::makeVolume(files, 0x40000, true);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(volume.data()),
               static_cast<std::streamsize>(volume.size()));
    bench::BenchOptions options;
    options.inputs = {path};
    bench::Bench bench(options);
    report_ = std::make_unique<bench::RunReport>(bench.run());
    std::filesystem::remove(path);
  }
  static void TearDownTestSuite() { report_.reset(); }
  static const bench::PeimReport &module(const std::string &ui) {
    for (const bench::PeimReport &peim : report_->peims) {
      if (peim.uiName == ui) {
        return peim;
      }
    }
    throw std::runtime_error("no module " + ui + " in the report");
  }
  static inline std::unique_ptr<bench::RunReport> report_;
};

TEST_F(BenchContract, KeepsTheContractsTheGenuineCoreKeeps) {
  std::vector<std::string> lines;
  for (const std::string &line : report_->log) {
    if (line.find("] TTC ") != std::string::npos) {
      lines.push_back(line);
    }
  }
  std::string log;
  for (const std::string &line : report_->log) {
    log += line + "\n";
  }
  for (const std::string &failure :
       contract::contractFailures(contract::parseEvents(lines))) {
    ADD_FAILURE() << failure;
  }
  if (HasFailure()) {
    std::cout << log;
  }
}

TEST_F(BenchContract, ReportsEachModuleAsItEnded) {
  const auto &producer = module("ContractProducer");
  const auto &consumer = module("ContractConsumer");
  ASSERT_TRUE(producer.order && consumer.order);
  EXPECT_LT(*producer.order, *consumer.order);
  EXPECT_EQ(producer.outcome, bench::Outcome::Returned);
  EXPECT_EQ(producer.status, 0u);
  EXPECT_EQ(producer.shadowStatus, 0u);
  ASSERT_TRUE(producer.shadowAddress);
  EXPECT_GE(*producer.shadowAddress, bench::Bench::kInstalledMemory);
  EXPECT_EQ(producer.services.at("AllocatePages"), 4u); // 2 in each run
  EXPECT_EQ(producer.ppisInstalled.size(), 2u);
  EXPECT_EQ(consumer.depex, "(((" + kProducerPpi.text() + " AND NOT " +
                                kNeverPpi.text() + ") AND TRUE) OR FALSE)");

  const auto &never = module("ContractNever");
  EXPECT_EQ(never.outcome, bench::Outcome::NotDispatched);
  EXPECT_NE(never.detail.find(kNeverPpi.text()), std::string::npos);
  const auto &broken = module("ContractBroken");
  EXPECT_EQ(broken.outcome, bench::Outcome::BadDepex);
  EXPECT_FALSE(broken.order);
  EXPECT_TRUE(report_->memoryByBench);
  EXPECT_NE(report_->ending.find("no DXE IPL"), std::string::npos);

  // The JSON a CI job reads says the same.
  const auto json = nlohmann::json::parse(bench::reportJson(*report_));
  ASSERT_EQ(json["peims"].size(), 4u);
  for (const auto &peim : json["peims"]) {
    if (peim["ui_name"] == "ContractProducer") {
      EXPECT_EQ(peim["ended"], "returned");
      EXPECT_EQ(peim["status"], "EFI_SUCCESS");
      EXPECT_GE(peim["services"]["FfsFindNextFile"].get<int>(), 2);
    }
    if (peim["ui_name"] == "ContractBroken") {
      EXPECT_EQ(peim["order"], nullptr);
      EXPECT_EQ(peim["ended"], "malformed dependency expression");
    }
  }
  bool memoryAllocation = false;
  for (const auto &hob : json["hob_list"]) {
    memoryAllocation = memoryAllocation || hob["type"] == "MEMORY_ALLOCATION";
  }
  EXPECT_TRUE(memoryAllocation);
  EXPECT_EQ(json["hob_list"][0]["type"], "HANDOFF");
}

} // namespace
