// pei-platform run on Debian's IA-32 OVMF (ovmf-ia32): the bench finds the
// PEI volume inside the compressed main volume and dispatches its genuine
// PEIMs in a valid order. Those that need no QEMU-specific hardware
// complete with their own statuses; every other one says where it stopped.
// The test reads what an integrator's CI job would: the JSON report and the
// exit status.
#include "ovmf_firmware.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct Outcome {
  int status = -1;
  std::string output;
};

Outcome run(const std::string &arguments) {
  const std::string command = "timeout 300 " + std::string(PEI_PLATFORM_PATH) +
                              " run " + arguments + " 2>&1 </dev/null";
  std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(command.c_str(), "r"),
                                              pclose);
  Outcome outcome;
  char chunk[4096];
  while (const std::size_t got = fread(chunk, 1, sizeof chunk, pipe.get())) {
    outcome.output.append(chunk, got);
  }
  const int status = pclose(pipe.release());
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

json readJson(const fs::path &path) {
  std::ifstream in(path);
  return json::parse(in);
}

class OvmfRun : public ::testing::Test {
protected:
  static void TearDownTestSuite() {
    if (!dir_.empty()) {
      fs::remove_all(dir_);
    }
  }
  static void SetUpTestSuite() {
    const fs::path code(ovmf::kFirmwareCodePath);
    const fs::path vars(ovmf::kFirmwareVarsPath);
    if (!fs::exists(code) || !fs::exists(vars)) {
      skip_ = "ovmf-ia32 is not installed";
      return;
    }
    std::ifstream in(code, std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                          std::istreambuf_iterator<char>()};
    if (ovmf::sha256Hex(bytes) != ovmf::kFirmwareSha256) {
      skip_ = "the test is written for another build of " + code.string();
      return;
    }
    // One directory per process: ctest runs each test in its own.
    dir_ = fs::path(testing::TempDir()) /
           ("bench-ovmf-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    // Bounds low enough that the modules that loop on absent hardware stop
    // soon; the others finish well within them.
    const std::string common = code.string() + " --vars " + vars.string() +
                               " --max-instructions 20000000";
    outcome_ = run(common + " --report " + (dir_ / "report.json").string() +
                   " --trace-json " + (dir_ / "trace.json").string());
    std::ofstream(dir_ / "registers") << "# fw_cfg: the QEMU signature\n"
                                      << "port 0x511 1 0x51,0x45,0x4D,0x55\n";
    declared_ = run(common + " --registers " + (dir_ / "registers").string() +
                    " --report " + (dir_ / "declared.json").string());
  }
  void SetUp() override {
    if (!skip_.empty()) {
      GTEST_SKIP() << skip_;
    }
  }
  static json module(const json &report, const std::string &name) {
    for (const json &peim : report["peims"]) {
      if (peim["ui_name"] == name) {
        return peim;
      }
    }
    ADD_FAILURE() << "no module " << name << " in the report";
    return json::object();
  }

  static inline std::string skip_;
  static inline fs::path dir_;
  static inline Outcome outcome_, declared_;
};

TEST_F(OvmfRun, ModulesWithoutQemuHardwareCompleteInAValidOrder) {
  // Some modules loop on absent QEMU hardware and no DXE IPL comes: 1.
  EXPECT_EQ(outcome_.status, 1) << outcome_.output;
  const json report = readJson(dir_ / "report.json");
  EXPECT_NE(report["volumes"].dump().find("copied to 0x00820000"),
            std::string::npos)
      << "the PEI volume goes where its images are linked to run";
  for (const char *name :
       {"PcdPeim", "ReportStatusCodeRouterPei", "StatusCodeHandlerPei",
        "FaultTolerantWritePei", "PeiVariable", "Tcg2ConfigPei"}) {
    SCOPED_TRACE(name);
    const json peim = module(report, name);
    EXPECT_EQ(peim["ended"], "returned");
    EXPECT_EQ(peim["status"], "EFI_SUCCESS");
  }
  // The apriori file's modules come first, in its order.
  EXPECT_EQ(module(report, "PcdPeim")["order"], 1);
  EXPECT_EQ(module(report, "ReportStatusCodeRouterPei")["order"], 2);
  EXPECT_EQ(module(report, "StatusCodeHandlerPei")["order"], 3);
  EXPECT_EQ(module(report, "PcdPeim")["shadow"]["status"], "EFI_SUCCESS");

  // Valid: every PPI a module's expression names that some module installed
  // was installed by a module dispatched before it.
  std::map<std::string, std::string> installer;
  for (const json &ppi : report["ppis"]) {
    installer.emplace(ppi["guid"], ppi["installer"]);
  }
  std::map<std::string, int> order;
  for (const json &peim : report["peims"]) {
    if (!peim["order"].is_null()) {
      order[peim["ui_name"]] = peim["order"];
    }
  }
  const std::regex guid("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-"
                        "[0-9A-F]{12}");
  for (const auto &[name, at] : order) {
    const std::string depex = module(report, name)["depex"];
    for (auto it = std::sregex_iterator(depex.begin(), depex.end(), guid);
         it != std::sregex_iterator(); ++it) {
      const auto from = installer.find(it->str());
      if (from != installer.end() && order.count(from->second)) {
        EXPECT_LT(order[from->second], at) << name << " needs " << it->str();
      }
    }
  }

  // Every other module says where it stopped and what it last touched.
  std::set<std::string> ended;
  for (const json &peim : report["peims"]) {
    if (peim["ended"] == "returned") {
      continue;
    }
    ended.insert(peim["ui_name"].get<std::string>());
    const std::string detail = peim["detail"];
    EXPECT_FALSE(detail.empty()) << peim["ui_name"];
    if (peim["ended"] == "stopped at a bound" || peim["ended"] == "faulted") {
      EXPECT_NE(detail.find("at " + peim["ui_name"].get<std::string>()),
                std::string::npos)
          << detail;
    }
  }
  EXPECT_TRUE(ended.count("PlatformPei")) << "it needs QEMU's fw_cfg";
  const json platform = module(report, "PlatformPei");
  EXPECT_EQ(platform["unmodelled"][0]["address"], "0x00000510");
  EXPECT_EQ(platform["unmodelled"][1]["value"], "0xFF");
  EXPECT_EQ(report["hob_list"][0]["type"], "HANDOFF");
  EXPECT_TRUE(report["memory"]["by_bench"]);
  EXPECT_NE(outcome_.output.find("run: "), std::string::npos);

  // The trace puts each module's events on a track of its own.
  std::ifstream in(dir_ / "trace.json");
  std::set<std::string> tracks;
  for (const json &event : json::parse(in)) {
    if (event["ph"] == "M" && event["name"] == "thread_name") {
      tracks.insert(event["args"]["name"].get<std::string>());
    }
  }
  EXPECT_TRUE(tracks.count("PcdPeim"));
  EXPECT_TRUE(tracks.count("PlatformPei"));
}

TEST_F(OvmfRun, DeclaredRegistersAnswerInTurn) {
  const json report = readJson(dir_ / "declared.json");
  const json accesses = module(report, "PlatformPei")["unmodelled"];
  std::string signature;
  for (const json &access : accesses) {
    if (access["address"] == "0x00000511" && !access["write"].get<bool>() &&
        signature.size() < 4) {
      signature += static_cast<char>(
          std::stoul(access["value"].get<std::string>(), nullptr, 16));
    }
  }
  EXPECT_EQ(signature, "QEMU");
}

} // namespace
