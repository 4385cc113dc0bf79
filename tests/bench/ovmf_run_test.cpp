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

// A module's entry in a report, by UI name.
json module(const json &report, const std::string &name) {
  for (const json &peim : report["peims"]) {
    if (peim["ui_name"] == name) {
      return peim;
    }
  }
  ADD_FAILURE() << "no module " << name << " in the report";
  return json::object();
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

// The module inserted by pei-ffs into OVMF's PEI volume, with the companion
// that installs the trigger and a module that uses the transport: the
// genuine variable module reads "Setup" as pei-vars wrote it, the genuine PCD
// module takes the announcement of token 11, and the transport carries a TPM
// session from inside the real volume.
class OvmfWithModule : public ::testing::Test {
protected:
  static std::string shell(const std::string &command) {
    std::unique_ptr<FILE, int (*)(FILE *)> pipe(
        popen((command + " 2>&1 </dev/null").c_str(), "r"), pclose);
    std::string output;
    char chunk[4096];
    while (const std::size_t got = fread(chunk, 1, sizeof chunk, pipe.get())) {
      output.append(chunk, got);
    }
    if (pclose(pipe.release()) != 0) {
      ADD_FAILURE() << command << "\n" << output;
    }
    return output;
  }
  static void SetUpTestSuite() {
    const fs::path code(ovmf::kFirmwareCodePath);
    if (!fs::exists(code) || !fs::exists(ovmf::kFirmwareVarsPath)) {
      skip_ = "ovmf-ia32 is not installed";
      return;
    }
    dir_ = fs::path(testing::TempDir()) /
           ("bench-module-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    const std::string pei = " --fv 6938079B-B503-4E3D-9D24-B28337A25806";
    const std::string ffs = PEI_FFS_PATH;
    shell(ffs + " " + FIRMWARE_IMAGE_PATH + " --insert-into " + code.string() +
          pei + " -o " + (dir_ / "1.fd").string());
    shell(ffs + " " + COMPANION_IMAGE_PATH +
          " --guid E192FBEE-5D33-47CA-9DEA-95783AE0F344 --name "
          "TpmTransportCompanionPei --depex "
          "F894643D-C449-42D1-8EA8-85BDD8C65BDE --insert-into " +
          (dir_ / "1.fd").string() + pei + " -o " + (dir_ / "2.fd").string());
    shell(ffs + " " + TRANSPORT_CONSUMER_IMAGE +
          " --guid 6A1E0F2C-11D3-4C0A-9E41-527B0C3D9020 --name "
          "TransportConsumer --depex 9D910B61-85BD-4473-8131-40959D60C7EE "
          "--insert-into " +
          (dir_ / "2.fd").string() + pei + " -o " +
          (dir_ / "flash.fd").string());
    for (const auto &[name, select] :
         {std::pair{"on", 2}, std::pair{"off", 0}}) {
      const fs::path vars = dir_ / (std::string(name) + ".fd");
      fs::copy_file(ovmf::kFirmwareVarsPath, vars);
      shell(std::string(PEI_VARS_PATH) + " write " + vars.string() +
            " Setup --size 1024 --set-byte 256=" + std::to_string(select));
      const Outcome outcome =
          run((dir_ / "flash.fd").string() + " --vars " + vars.string() +
              " --max-instructions 20000000 --report " +
              (dir_ / (std::string(name) + ".json")).string());
      (select == 2 ? selected_ : declined_) = outcome;
    }
  }
  static void TearDownTestSuite() {
    if (!dir_.empty()) {
      fs::remove_all(dir_);
    }
  }
  void SetUp() override {
    if (!skip_.empty()) {
      GTEST_SKIP() << skip_;
    }
  }

  static inline std::string skip_;
  static inline fs::path dir_;
  static inline Outcome selected_, declined_;
};

TEST_F(OvmfWithModule, PublishesFromTheRealVolumeAndCarriesATpmSession) {
  const json report = readJson(dir_ / "on.json");
  const json peim = module(report, "TpmTransportPei");
  EXPECT_TRUE(peim["in_place"].get<bool>()) << "it runs where pei-ffs put it";
  EXPECT_NE(peim["volume"].get<std::string>().find(
                "6938079B-B503-4E3D-9D24-B28337A25806"),
            std::string::npos);
  EXPECT_EQ(peim["shadow"]["status"], "EFI_SUCCESS");
  bool published = false;
  for (const json &ppi : report["ppis"]) {
    published =
        published || (ppi["guid"] == "9D910B61-85BD-4473-8131-40959D60C7EE" &&
                      ppi["installer"] == "TpmTransportPei");
  }
  EXPECT_TRUE(published) << report["ppis"].dump(2);
  EXPECT_NE(selected_.output.find("TTU execute-getrandom status=0x00000000 "
                                  "size=0x00000014 rc=0x00000000"),
            std::string::npos)
      << selected_.output;
  EXPECT_NE(selected_.output.find("TPM session: every command succeeded"),
            std::string::npos)
      << selected_.output;

  // The token-11 story: this build's token 11 holds 4 bytes, the module
  // announces 16, and the genuine PCD module's answer is on record.
  ASSERT_EQ(report["token_writes"].size(), 1u) << report["token_writes"];
  const json write = report["token_writes"][0];
  EXPECT_EQ(write["module"], "TpmTransportPei");
  EXPECT_EQ(write["token"], 11);
  EXPECT_EQ(write["size"], 16);
  EXPECT_FALSE(write["status"].is_null());
  ASSERT_EQ(report["tokens"].size(), 1u);
  EXPECT_EQ(report["tokens"][0]["size"], 4);
  EXPECT_NE(selected_.output.find("token 11: TpmTransportPei set 16 bytes"),
            std::string::npos)
      << selected_.output;
}

TEST_F(OvmfWithModule, DeclinesWhenSetupSaysSo) {
  const json report = readJson(dir_ / "off.json");
  EXPECT_EQ(module(report, "TpmTransportPei")["ended"], "returned");
  for (const json &ppi : report["ppis"]) {
    EXPECT_NE(ppi["guid"], "9D910B61-85BD-4473-8131-40959D60C7EE");
  }
  EXPECT_EQ(module(report, "TransportConsumer")["ended"], "never dispatchable");
  EXPECT_EQ(declined_.output.find("TPM session"), std::string::npos)
      << declined_.output;
}

} // namespace
