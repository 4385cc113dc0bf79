// Boots IA-32 OVMF with the module (and the companion test module) in its PEI
// volume under QEMU, then checks what the companion reported on the debug
// console. One run covers one dispatch variant:
//
//   ovmf_boot_test --variant apriori|appended --module M.efi --map M.map
//                  --companion C.efi --work DIR [gtest options]
//
// Exits with 77 (skipped) when the pinned firmware or QEMU is not there.
#include "contract_expectations.h"
#include "efi.h"
#include "ovmf_firmware.h"
#include "process.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr int kSkipped = 77;
const fs::path kFirmwareCode{ovmf::kFirmwareCodePath};
const fs::path kFirmwareVars{ovmf::kFirmwareVarsPath};
constexpr std::uint64_t kGuestRamMiB = 512;
constexpr std::uint64_t kGuestRam = kGuestRamMiB << 20;
// QEMU reaches the shell in 10-20 s here; far beyond that it is stuck.
constexpr auto kBootDeadline = std::chrono::seconds(150);
constexpr std::string_view kShellPrompt = "Shell>";

// A PPI descriptor that ends its list.
constexpr std::uint32_t kPpiTerminate = 0x80000010;
using efi::kInvalidParameter;
using efi::kSuccess;
using efi::kUnsupported;

// One "TTP <event> key=value ..." line from the companion.
struct Event {
  std::string name;
  std::map<std::string, std::string> fields;

  std::uint32_t number(const std::string &key) const {
    const auto it = fields.find(key);
    if (it == fields.end()) {
      throw std::runtime_error("event " + name + ": expected field " + key +
                               ", found none");
    }
    return static_cast<std::uint32_t>(std::stoul(it->second, nullptr, 16));
  }
  const std::string &text(const std::string &key) const {
    static const std::string none;
    const auto it = fields.find(key);
    return it == fields.end() ? none : it->second;
  }
};

struct Context {
  std::optional<unsigned> deviceSelect; // "Setup" written with this byte 256
  Context(pei::PeImage m, pei::LinkerMap symbols)
      : module(std::move(m)), map(std::move(symbols)) {}
  std::string variant;
  bool te = false; // the module packaged as a TE section
  ovmf::PatchedFirmware firmware;
  pei::PeImage module;
  pei::LinkerMap map;
  std::uint32_t flashBase = 0; // lowest address of the two flash parts
  std::string extractMessages, extractReport;
  std::string serial, debug;
  std::vector<Event> events;
  // Guest addresses of the translated blocks QEMU ran inside the module's
  // place in the PEI volume's RAM copy, in execution order.
  std::vector<std::uint32_t> inPlaceBlocks;
};
Context *context = nullptr;

Bytes readFile(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error(path.string() + ": expected a readable file, "
                                             "found none");
  }
  return Bytes((std::istreambuf_iterator<char>(in)),
               std::istreambuf_iterator<char>());
}
std::string readText(const fs::path &path) {
  const Bytes bytes = fs::exists(path) ? readFile(path) : Bytes{};
  return std::string(bytes.begin(), bytes.end());
}
void writeFile(const fs::path &path, const Bytes &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) {
    throw std::runtime_error(path.string() + ": expected to write it, found "
                                             "the write failing");
  }
}

std::optional<fs::path> findProgram(const std::string &name) {
  const char *path = std::getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const fs::path candidate = fs::path(dir) / name;
    if (!dir.empty() && fs::exists(candidate)) {
      return candidate;
    }
  }
  return std::nullopt;
}

// QEMU's "-d exec" lines: "Trace 0: 0x<host> [<cs base>/<pc>/<flags>/...]".
std::vector<std::uint32_t> parseBlocks(const std::string &log) {
  static const std::regex trace(R"(^Trace \d+: \S+ \[[0-9a-f]+/([0-9a-f]+)/)");
  std::vector<std::uint32_t> pcs;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (std::regex_search(line, m, trace)) {
      pcs.push_back(static_cast<std::uint32_t>(std::stoul(m[1], nullptr, 16)));
    }
  }
  return pcs;
}

std::vector<Event> parseEvents(const std::string &log) {
  std::vector<Event> events;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    const auto at = line.find("TTP ");
    if (at == std::string::npos) {
      continue;
    }
    std::istringstream words(line.substr(at + 4));
    Event e;
    words >> e.name;
    for (std::string word; words >> word;) {
      const auto eq = word.find('=');
      if (eq != std::string::npos) {
        e.fields[word.substr(0, eq)] = word.substr(eq + 1);
      }
    }
    events.push_back(std::move(e));
  }
  return events;
}

const Event *find(const std::string &name) {
  for (const Event &e : context->events) {
    if (e.name == name) {
      return &e;
    }
  }
  return nullptr;
}
std::ptrdiff_t indexOf(const std::string &name) {
  const Event *e = find(name);
  return e == nullptr ? -1 : e - context->events.data();
}

// Offset of a routine or datum from the image base, from the linker map
// (C++ names are decorated: "?Execute@@...").
std::uint32_t rvaOf(const std::string &name) {
  for (const auto &[symbol, address] : context->map.symbols()) {
    if (symbol == name || symbol.rfind("?" + name + "@@", 0) == 0) {
      return address - context->module.imageBase();
    }
  }
  throw std::runtime_error("linker map: expected symbol " + name +
                           ", found none");
}

// Where a TE image's header lies above its base: the PE32 headers up to the
// section table are stripped, and the 40-byte TE header takes their end.
std::uint32_t teHeaderRva(const pei::PeImage &image) {
  const Bytes &b = image.bytes();
  const std::uint32_t pe = b[0x3C] | b[0x3D] << 8;
  return pe + 24 + (b[pe + 20] | b[pe + 21] << 8) - 40;
}

// Where the image ends in memory: SizeOfImage for a PE32, the end of the last
// section for a TE image.
std::uint32_t imageEnd(const pei::PeImage &image, bool te) {
  std::uint32_t end = 0;
  for (const pei::PeSection &s : image.sections()) {
    end = std::max(end, s.virtualAddress + s.virtualSize);
  }
  return te ? end : image.sizeOfImage();
}

// What a PE loader puts in memory for `image` loaded at `base`: the headers,
// then each section's data up to its virtual size (the linker's padding
// beyond it is not copied), zeroes elsewhere; relocated, with ImageBase
// recording the new place. For a TE image, what lies from its header on.
Bytes loadedImage(const pei::PeImage &image, std::uint32_t base, bool te) {
  const Bytes relocated = ffs_format::rebasedImage(image, base);
  Bytes memory(image.sizeOfImage(), 0);
  const auto u32 = [&](std::size_t at) {
    return static_cast<std::uint32_t>(relocated[at] | relocated[at + 1] << 8 |
                                      relocated[at + 2] << 16 |
                                      relocated[at + 3] << 24);
  };
  const std::size_t sizeOfHeaders = u32(u32(0x3C) + 24 + 60);
  std::copy_n(relocated.begin(), sizeOfHeaders, memory.begin());
  for (const pei::PeSection &s : image.sections()) {
    const std::size_t n = std::min(s.rawSize, s.virtualSize);
    std::copy_n(relocated.begin() + s.virtualAddress, n,
                memory.begin() + s.virtualAddress);
  }
  if (!te) {
    return memory;
  }
  // A TE image in memory begins with its 40-byte header where the PE32's
  // headers end, right before the section table, and ends with its last
  // section: the TE header records no SizeOfImage.
  const Bytes teFile = ffs_format::teImage(relocated);
  Bytes loaded(memory.begin() + teHeaderRva(image),
               memory.begin() + imageEnd(image, true));
  std::copy_n(teFile.begin(), 40, loaded.begin());
  return loaded;
}

#define REQUIRE_EVENT(var, name)                                               \
  const Event *var = find(name);                                               \
  ASSERT_NE(var, nullptr) << "no \"TTP " name "\" line on the debug console\n" \
                          << context->debug

TEST(Firmware, PatchedImageParsesCleanlyWithBothModulesInThePeiVolume) {
  EXPECT_EQ(context->extractMessages, "")
      << "UEFIExtract reported problems with the patched image";
  const std::string &report = context->extractReport;
  const auto pei = report.find(std::string(ovmf::kPeiVolumeGuid));
  const auto module = report.find(std::string(ffs_format::kModuleFileGuid));
  const auto companion = report.find(std::string(ovmf::kCompanionFileGuid));
  ASSERT_NE(pei, std::string::npos) << report;
  ASSERT_NE(module, std::string::npos) << report;
  ASSERT_NE(companion, std::string::npos) << report;
  EXPECT_LT(pei, module);
  EXPECT_LT(module, companion) << "the companion follows the module";
  const auto line =
      report.substr(report.rfind('\n', module) + 1,
                    report.find('\n', module) - report.rfind('\n', module));
  EXPECT_NE(line.find("PEI module"), std::string::npos) << line;
  EXPECT_NE(line.find("TpmTransportPei"), std::string::npos) << line;
  const auto &m = context->firmware.module;
  EXPECT_EQ(m.imageBase % context->module.sectionAlignment(), 0u);
  EXPECT_GE(m.imageBase, context->firmware.peiVolumeBase);
  EXPECT_LT(m.imageBase + m.imageSize, context->firmware.peiVolumeBase +
                                           context->firmware.peiVolumeLength);
}

// The genuine core keeps the contracts the bench is held to
// (tests/contract), on the same lines of the contract modules.
TEST(Boot, GenuineCoreKeepsTheContracts) {
  std::vector<std::string> lines;
  std::istringstream debug(context->debug);
  for (std::string line; std::getline(debug, line);) {
    lines.push_back(line);
  }
  for (const std::string &failure :
       contract::contractFailures(contract::parseEvents(lines))) {
    ADD_FAILURE() << failure;
  }
}

// "Setup" as the product's variable-store tool wrote it, read back by the
// genuine variable module: byte 256 = 0 makes the module decline, so no
// transport is published and its consumer is never dispatched.
TEST(Setup, DeclinesWhenTheStoreSaysSo) {
  if (!context->deviceSelect || *context->deviceSelect == 2) {
    GTEST_SKIP() << "this boot's \"Setup\" selects the transport";
  }
  REQUIRE_EVENT(located, "locate");
  EXPECT_EQ(located->number("status"), 0x8000000Eu) << "EFI_NOT_FOUND";
  EXPECT_EQ(context->debug.find("TTU locate"), std::string::npos)
      << context->debug;
}

// A module that uses the transport is dispatched once it is published and
// gets EFI_UNSUPPORTED from each call: QEMU has no co-processor (on the
// bench the same module gets the TPM's answers, tests/bench).
TEST(Boot, TransportConsumerIsToldThereIsNoCoprocessor) {
  for (const char *line :
       {"TTU locate status=0x00000000", "TTU execute-startup status=0x80000003",
        "TTU execute-getrandom status=0x80000003", "TTU send status=0x80000003",
        "TTU done"}) {
    EXPECT_NE(context->debug.find(line), std::string::npos) << line;
  }
}

TEST(Boot, FirmwareReachesItsShellAndTheCompanionFinishes) {
  EXPECT_NE(context->serial.find(kShellPrompt), std::string::npos)
      << "serial console:\n"
      << context->serial;
  REQUIRE_EVENT(start, "companion");
  REQUIRE_EVENT(done, "companion-done");
  EXPECT_LT(start, done);
}

// Listed in the apriori file, the module is dispatched before permanent
// memory, where it lies: its entry is the first code QEMU runs in the
// module's place in the PEI volume. Appended only, it is dispatched after
// memory and the core runs it only from a copy: nothing runs there.
TEST(Dispatch, ModuleRunsInPlaceOnlyWhenListedInTheApriori) {
  const auto &blocks = context->inPlaceBlocks;
  const auto &module = context->firmware.module;
  const std::uint32_t entry = module.imageBase + context->module.entryRva();
  if (context->variant == "apriori") {
    ASSERT_FALSE(blocks.empty()) << "nothing ran at the module's place";
    EXPECT_EQ(blocks.front(), entry) << "the entry runs first";
  } else {
    EXPECT_TRUE(blocks.empty()) << blocks.size() << " blocks ran in place";
  }
  for (const std::uint32_t pc : blocks) {
    EXPECT_GE(pc, module.imageBase);
    EXPECT_LT(pc, module.imageBase + module.imageSize);
  }
}

TEST(Transport, NotificationFiresOnceBeforeTheTriggerInstallReturns) {
  REQUIRE_EVENT(armed, "notify-armed");
  EXPECT_EQ(armed->number("status"), kSuccess);
  REQUIRE_EVENT(installed, "trigger-installed");
  EXPECT_EQ(installed->number("status"), kSuccess);
  std::vector<const Event *> notifications;
  for (const Event &e : context->events) {
    if (e.name == "notify") {
      notifications.push_back(&e);
    }
  }
  ASSERT_EQ(notifications.size(), 1u) << context->debug;
  const Event &notify = *notifications.front();
  EXPECT_EQ(notify.number("count"), 1u);
  EXPECT_EQ(notify.number("in-trigger"), 1u)
      << "the transport must be installed from inside the trigger's "
         "InstallPpi";
  const auto at = &notify - context->events.data();
  EXPECT_LT(indexOf("trigger-installing"), at);
  EXPECT_LT(at, indexOf("trigger-installed"));
  EXPECT_EQ(installed->number("notify-count"), 1u);
  REQUIRE_EVENT(done, "companion-done");
  EXPECT_EQ(done->number("notify-count"), 1u);
}

TEST(Transport, LocateFindsTheDescriptorAndTheNotifiedInterface) {
  REQUIRE_EVENT(locate, "locate");
  REQUIRE_EVENT(notify, "notify");
  EXPECT_EQ(locate->number("status"), kSuccess);
  EXPECT_EQ(locate->number("flags"), kPpiTerminate);
  EXPECT_EQ(locate->number("guid-match"), 1u);
  EXPECT_EQ(locate->number("interface"), notify->number("interface"));
  EXPECT_EQ(locate->number("descriptor-ppi"), locate->number("interface"));
  EXPECT_EQ(locate->number("notified"), locate->number("interface"));
}

// Relocation check: the interface table, its four entries and the
// descriptor all lie in one copy of the module in permanent memory, away
// from the PEI volume's RAM copy (where the file sits) and below the flash,
// at the offsets the linker gave them.
TEST(Transport, InterfaceAndSlotsLieInTheShadowCopyAtTheirLinkedOffsets) {
  REQUIRE_EVENT(locate, "locate");
  REQUIRE_EVENT(slots, "slots");
  REQUIRE_EVENT(image, "image");
  ASSERT_NE(image->text("base"), "") << "no image found around the interface";
  const std::uint32_t base = image->number("base");
  const std::uint32_t size = image->number("size");
  EXPECT_EQ(size, imageEnd(context->module, context->te));
  EXPECT_EQ(image->number("header-imagebase"), base)
      << "the loader records where it placed the copy";
  const std::uint64_t end = static_cast<std::uint64_t>(base) + size;
  const auto &fw = context->firmware;
  EXPECT_TRUE(end <= fw.peiVolumeBase ||
              base >= static_cast<std::uint64_t>(fw.peiVolumeBase) +
                          fw.peiVolumeLength)
      << "copy [" << base << ", " << end << ") overlaps the PEI volume";
  EXPECT_NE(base, fw.module.imageBase);
  EXPECT_LE(end, kGuestRam) << "permanent memory";
  EXPECT_LT(end, context->flashBase) << "below the flash";

  // The whole copy, headers included, is what a PE loader makes of the
  // image at that address: every relocation applied, nothing else changed.
  const Bytes expected = loadedImage(context->module, base, context->te);
  EXPECT_EQ(image->number("hashed-from"),
            base + (context->te ? teHeaderRva(context->module) : 0));
  std::uint32_t hash = 0x811C9DC5;
  for (const std::uint8_t byte : expected) {
    hash = (hash ^ byte) * 0x01000193;
  }
  EXPECT_EQ(image->number("fnv1a"), hash)
      << "the copy differs from the image relocated on the host";

  const std::uint32_t interface = locate->number("interface");
  EXPECT_EQ(interface - base, rvaOf("TpmTransportPpi"));
  EXPECT_EQ(locate->number("descriptor") - base,
            rvaOf("TpmTransportDescriptor"));
  const std::array<std::pair<const char *, const char *>, 4> order = {{
      {"execute", "Execute"},
      {"probe", "Probe"},
      {"send", "Send"},
      {"receive", "Receive"},
  }};
  std::set<std::uint32_t> distinct;
  for (const auto &[field, routine] : order) {
    const std::uint32_t slot = slots->number(field);
    distinct.insert(slot);
    EXPECT_GE(slot, base) << field;
    EXPECT_LT(slot, end) << field;
    EXPECT_EQ(slot - base, rvaOf(routine)) << field << " slot";
  }
  EXPECT_EQ(distinct.size(), 4u);
}

TEST(Transport, StatusesWithTheCoprocessorAbsent) {
  REQUIRE_EVENT(probe, "probe");
  REQUIRE_EVENT(execute, "execute");
  REQUIRE_EVENT(send, "send-empty");
  EXPECT_EQ(probe->number("status"), kSuccess);
  EXPECT_EQ(execute->number("status"), kUnsupported);
  EXPECT_EQ(execute->number("response-bytes-changed"), 0u);
  EXPECT_EQ(execute->number("response-length"), 64u) << "read, never written";
  EXPECT_EQ(send->number("status"), kInvalidParameter);
}

TEST(Announcement, Token11HeldTheInstanceGuidAndWasRestored) {
  REQUIRE_EVENT(before, "token-before");
  EXPECT_EQ(before->number("pcd-status"), kSuccess);
  ASSERT_NE(before->number("address"), 0u);
  REQUIRE_EVENT(after, "token-after");
  EXPECT_EQ(after->number("instance"), 1u);
  // TpmInstanceGuid {0D2098C2-BD29-4FBC-ABEC-4E038EFAA358} in storage order.
  EXPECT_EQ(after->text("bytes"), "C298200D29BDBC4FABEC4E038EFAA358");
  REQUIRE_EVENT(restored, "token-restored");
  EXPECT_EQ(restored->number("same"), 1u);
}

struct Options {
  std::string variant;
  std::string section = "pe32";
  fs::path module, map, companion, work;
  fs::path producer, consumer; // the contract modules
  fs::path transportConsumer;  // a module that uses the transport
  // With --vars-tool: "Setup" written into the store, 1024 bytes with this
  // DeviceSelect byte (256), by the product's variable-store tool.
  fs::path varsTool;
  std::optional<unsigned> deviceSelect;
};

Options parseOptions(int argc, char **argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const std::string value = argv[i + 1];
    if (key == "--variant") {
      o.variant = value;
    } else if (key == "--section") {
      o.section = value;
    } else if (key == "--module") {
      o.module = value;
    } else if (key == "--map") {
      o.map = value;
    } else if (key == "--companion") {
      o.companion = value;
    } else if (key == "--work") {
      o.work = value;
    } else if (key == "--producer") {
      o.producer = value;
    } else if (key == "--consumer") {
      o.consumer = value;
    } else if (key == "--transport-consumer") {
      o.transportConsumer = value;
    } else if (key == "--vars-tool") {
      o.varsTool = value;
    } else if (key == "--device-select") {
      o.deviceSelect = static_cast<unsigned>(std::stoul(value));
    } else {
      throw std::runtime_error("expected --variant, --section, --module, "
                               "--map, --companion, --producer, --consumer, "
                               "--transport-consumer, --vars-tool, "
                               "--device-select or --work, found " +
                               key);
    }
  }
  if ((o.variant != "apriori" && o.variant != "appended") ||
      (o.section != "pe32" && o.section != "te") || o.module.empty() ||
      o.map.empty() || o.companion.empty() || o.work.empty() ||
      o.producer.empty() || o.consumer.empty() || o.transportConsumer.empty() ||
      (o.deviceSelect.has_value() == o.varsTool.empty())) {
    throw std::runtime_error("expected --variant apriori|appended "
                             "[--section pe32|te] --module M.efi --map M.map "
                             "--companion C.efi --producer P.efi "
                             "--consumer C.efi --transport-consumer T.efi "
                             "[--vars-tool pei-vars --device-select N] "
                             "--work DIR");
  }
  return o;
}

// Why the test cannot run here, or nothing.
std::optional<std::string> missingPrerequisite(const Bytes &code) {
  if (code.empty()) {
    return "firmware " + kFirmwareCode.string() +
           " is not installed (Debian package ovmf-ia32)";
  }
  if (const std::string sum = ovmf::sha256Hex(code);
      sum != ovmf::kFirmwareSha256) {
    return "firmware " + kFirmwareCode.string() + " has SHA-256 " + sum +
           ", the test is written for " + std::string(ovmf::kFirmwareSha256);
  }
  if (!fs::exists(kFirmwareVars)) {
    return "variable store " + kFirmwareVars.string() + " is not installed";
  }
  if (!findProgram("qemu-system-i386")) {
    return "qemu-system-i386 is not installed (Debian package "
           "qemu-system-x86)";
  }
  if (!findProgram("UEFIExtract")) {
    return "UEFIExtract is not installed (Debian package uefitool-cli)";
  }
  return std::nullopt;
}

void bootFirmware(const Options &o, Context &c) {
  const fs::path code = o.work / "CODE.fd", vars = o.work / "VARS.fd";
  const fs::path serial = o.work / "serial.log", debug = o.work / "debug.log";
  const fs::path pidFile = o.work / "qemu.pid", output = o.work / "qemu.out";
  const fs::path execLog = o.work / "exec.log";
  writeFile(code, c.firmware.image);
  fs::copy_file(kFirmwareVars, vars, fs::copy_options::overwrite_existing);
  if (o.deviceSelect) {
    const std::string wrote = test_process::capture(
        {o.varsTool.string(), "write", vars.string(), "Setup", "--size", "1024",
         "--set-byte", "256=" + std::to_string(*o.deviceSelect)},
        o.work);
    std::cout << wrote;
    if (wrote.find("wrote \"Setup\"") == std::string::npos) {
      throw std::runtime_error("pei-vars: expected \"Setup\" written, found: " +
                               wrote);
    }
  }
  for (const fs::path &p : {serial, debug, pidFile, execLog}) {
    fs::remove(p);
  }
  // The command line that boots this firmware, plus a log of the blocks
  // that run inside the module's place in the volume.
  std::ostringstream inPlace;
  inPlace << "0x" << std::hex << c.firmware.module.imageBase << "+0x"
          << c.firmware.module.imageSize;
  const std::vector<std::string> machine = {
      "-machine", "q35,smm=on,accel=tcg",
      "-m",       std::to_string(kGuestRamMiB),
      "-global",  "driver=cfi.pflash01,property=secure,value=on"};
  const std::vector<std::string> flash = {
      "-drive",
      "if=pflash,format=raw,unit=0,file=" + code.string() + ",readonly=on",
      "-drive", "if=pflash,format=raw,unit=1,file=" + vars.string()};
  const std::vector<std::string> consoles = {
      "-debugcon", "file:" + debug.string(),
      "-global",   "isa-debugcon.iobase=0x402",
      "-display",  "none",
      "-nic",      "none",
      "-serial",   "file:" + serial.string(),
      "-monitor",  "none"};
  const std::vector<std::string> tracing = {
      "-pidfile", pidFile.string(), "-d", "exec",
      "-dfilter", inPlace.str(),    "-D", execLog.string()};
  // `timeout` guards against this driver dying with QEMU still running.
  std::vector<std::string> command = {
      "timeout", "--kill-after=5", std::to_string(kBootDeadline.count() + 30),
      "qemu-system-i386"};
  for (const auto *part : {&machine, &flash, &consoles, &tracing}) {
    command.insert(command.end(), part->begin(), part->end());
  }
  test_process::Process qemu(command, output);
  const auto started = std::chrono::steady_clock::now();
  bool shell = false;
  while (qemu.running() &&
         std::chrono::steady_clock::now() - started < kBootDeadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    if (readText(serial).find(kShellPrompt) != std::string::npos) {
      shell = true;
      break;
    }
  }
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
      std::chrono::steady_clock::now() - started);
  // Stop QEMU itself by the PID it wrote; `timeout` then exits with it.
  const std::string pidText = readText(pidFile);
  if (!pidText.empty()) {
    test_process::stopPid(static_cast<pid_t>(std::stol(pidText)));
  }
  qemu.stop();
  std::cout << "[" << o.variant << "] QEMU ran " << seconds.count() << " s, "
            << (shell ? "shell reached" : "no shell") << "\n";
  if (!shell) {
    std::cout << "QEMU's own output:\n" << readText(output);
  }
  c.serial = readText(serial);
  c.debug = readText(debug);
  c.events = parseEvents(c.debug);
  c.inPlaceBlocks = parseBlocks(readText(execLog));
  std::cout << c.debug;
}

} // namespace

int main(int argc, char **argv) {
  testing::InitGoogleTest(&argc, argv);
  try {
    const Options o = parseOptions(argc, argv);
    const Bytes code =
        fs::exists(kFirmwareCode) ? readFile(kFirmwareCode) : Bytes{};
    if (const auto missing = missingPrerequisite(code)) {
      std::cout << "SKIPPED: " << *missing << "\n";
      return kSkipped;
    }
    fs::create_directories(o.work);
    static Context c(pei::PeImage::load(o.module), pei::LinkerMap::load(o.map));
    c.variant = o.variant;
    c.deviceSelect = o.deviceSelect;
    c.te = o.section == "te";
    context = &c;
    c.flashBase = static_cast<std::uint32_t>(0x100000000ull - code.size() -
                                             fs::file_size(kFirmwareVars));
    // The contract modules go in after the companion, the consumer first,
    // so that its dependency on the producer's PPI orders the two.
    const pei::PeImage producer = pei::PeImage::load(o.producer);
    const pei::PeImage consumer = pei::PeImage::load(o.consumer);
    const pei::PeImage transportConsumer =
        pei::PeImage::load(o.transportConsumer);
    std::vector<ovmf::ExtraPeim> contract(3);
    contract[0].image = &consumer;
    contract[0].options.name =
        ffs_format::parseGuid("6A1E0F2C-11D3-4C0A-9E41-527B0C3D9011");
    contract[0].options.uiName = "ContractConsumer";
    contract[0].options.depex = {
        ffs_format::parseGuid("6A1E0F2C-11D3-4C0A-9E41-527B0C3D9001")};
    contract[1].image = &producer;
    contract[1].options.name =
        ffs_format::parseGuid("6A1E0F2C-11D3-4C0A-9E41-527B0C3D9010");
    contract[1].options.uiName = "ContractProducer";
    // Dispatched once the module has published its transport.
    contract[2].image = &transportConsumer;
    contract[2].options.name =
        ffs_format::parseGuid("6A1E0F2C-11D3-4C0A-9E41-527B0C3D9020");
    contract[2].options.uiName = "TransportConsumer";
    contract[2].options.depex = {
        ffs_format::parseGuid("9D910B61-85BD-4473-8131-40959D60C7EE")};
    c.firmware =
        ovmf::insertModules(code, c.module, pei::PeImage::load(o.companion),
                            o.variant == "apriori" ? ovmf::Dispatch::Apriori
                                                   : ovmf::Dispatch::Appended,
                            c.te, contract);
    const fs::path patched = o.work / "patched.fd";
    writeFile(patched, c.firmware.image);
    const auto extract = test_process::capture(
        {"UEFIExtract", patched.filename().string(), "report"}, o.work);
    c.extractMessages = extract;
    c.extractReport = readText(o.work / "patched.fd.report.txt");
    bootFirmware(o, c);
  } catch (const std::exception &e) {
    std::cerr << "ovmf_boot_test: " << e.what() << "\n";
    return 1;
  }
  return RUN_ALL_TESTS();
}
