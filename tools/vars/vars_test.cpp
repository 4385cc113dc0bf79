#include "command_line.h"
#include "variable_store.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <regex>
#include <set>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using vars_format::StoreFormat;
using vars_format::VariableStore;
using vars_format::VarsError;

const vars_format::Guid kSetup =
    vars_format::Guid::parse(vars_format::kSetupVendorGuid);
const vars_format::Guid kOther =
    vars_format::Guid::parse("8BE4DF61-93CA-11D2-AA0D-00E098032B8C");
// Where the store and its first variable lie in a built store (the volume
// header is 72 bytes, the store header 28).
constexpr std::uint32_t kStore = 0x48;
constexpr std::uint32_t kFirst = 0x64;

std::uint32_t u32(const Bytes &b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 |
         static_cast<std::uint32_t>(b[at + 3]) << 24;
}
void put32(Bytes &b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) {
    b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
}
// Puts the volume header's checksum right again after a change to it.
void fixChecksum(Bytes &b) {
  b[50] = b[51] = 0;
  std::uint16_t sum = 0;
  for (std::size_t i = 0; i < 72; i += 2) {
    sum = static_cast<std::uint16_t>(sum + (b[i] | b[i + 1] << 8));
  }
  b[50] = static_cast<std::uint8_t>(-sum);
  b[51] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(-sum) >> 8);
}

Bytes empty(StoreFormat format, std::uint32_t storeSize = 0x3FFB8,
            std::uint32_t volume = 0x42000) {
  return VariableStore::makeEmpty(format, volume, storeSize);
}

Bytes readFile(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}
void writeFile(const fs::path &path, const Bytes &bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char *>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

struct PipeCloser {
  void operator()(FILE *f) const { pclose(f); }
};
std::string run(const std::string &command) {
  std::unique_ptr<FILE, PipeCloser> pipe(popen(command.c_str(), "r"));
  if (!pipe) {
    return "";
  }
  std::string out;
  std::array<char, 4096> buffer;
  while (std::size_t n = fread(buffer.data(), 1, buffer.size(), pipe.get())) {
    out.append(buffer.data(), n);
  }
  return out;
}
std::string tool(const std::string &arguments) {
  return run(std::string(PEI_VARS_PATH) + " " + arguments +
             " 2>&1; echo exit=$?");
}

// A directory of its own for each test, removed at its end.
class Scratch {
public:
  explicit Scratch(const std::string &name)
      : path_(fs::temp_directory_path() /
              ("pei-vars-" + name + "-" + std::to_string(getpid()))) {
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~Scratch() { fs::remove_all(path_); }
  fs::path operator/(const std::string &name) const { return path_ / name; }
  // Every file in it, to show that a failed run left nothing behind.
  std::set<std::string> files() const {
    std::set<std::string> names;
    for (const auto &entry : fs::directory_iterator(path_)) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }

private:
  fs::path path_;
};

// The layout as the firmware reads it, checked at fixed offsets rather
// than through the parser: header fields, the UCS-2 name after the header,
// the data after the name, the next header 4-byte aligned. An overwrite
// leaves the old copy deleted (added, in deleted transition, deleted) and
// the new one added, and a fresh parse of the bytes finds both so.
TEST(VariableStore,
     OverwriteLeavesTheOldCopyDeletedAndANewCopyAddedInEitherFormat) {
  for (const StoreFormat format :
       {StoreFormat::Authenticated, StoreFormat::Normal}) {
    const bool authenticated = format == StoreFormat::Authenticated;
    SCOPED_TRACE(authenticated ? "authenticated" : "normal");
    const std::uint32_t header = authenticated ? 60 : 32;
    const std::size_t nameSize = authenticated ? 36 : 8;
    const std::size_t vendor = authenticated ? 44 : 16;
    VariableStore store = VariableStore::parse(empty(format));
    const Bytes first{1, 2, 3}, second{9, 8, 7, 6, 5};
    EXPECT_EQ(store.write(u"Setup", kSetup, 0x7, first),
              vars_format::WriteOutcome::Added);
    const Bytes &b = store.bytes();
    EXPECT_EQ(b[kFirst] | b[kFirst + 1] << 8, 0x55AA);
    EXPECT_EQ(b[kFirst + 2], 0x3F);
    EXPECT_EQ(u32(b, kFirst + 4), 0x7u);
    EXPECT_EQ(u32(b, kFirst + nameSize), 12u);
    EXPECT_EQ(u32(b, kFirst + nameSize + 4), 3u);
    EXPECT_EQ(
        Bytes(b.begin() + kFirst + vendor, b.begin() + kFirst + vendor + 16),
        Bytes(kSetup.bytes.begin(), kSetup.bytes.end()));
    const Bytes name{'S', 0, 'e', 0, 't', 0, 'u', 0, 'p', 0, 0, 0};
    EXPECT_EQ(
        Bytes(b.begin() + kFirst + header, b.begin() + kFirst + header + 12),
        name);
    EXPECT_EQ(Bytes(b.begin() + kFirst + header + 12,
                    b.begin() + kFirst + header + 15),
              first);
    const std::uint32_t second_at = (kFirst + header + 15 + 3) & ~3u;
    EXPECT_EQ(b[second_at], 0xFF) << "the free space starts erased";

    EXPECT_EQ(store.write(u"Setup", kSetup, 0x7, second),
              vars_format::WriteOutcome::Replaced);
    EXPECT_EQ(store.bytes()[kFirst + 2], 0x3C);
    EXPECT_EQ(store.bytes()[second_at + 2], 0x3F);
    const Bytes unchanged = store.bytes();
    EXPECT_EQ(store.write(u"Setup", kSetup, 0x7, second),
              vars_format::WriteOutcome::Unchanged);
    EXPECT_EQ(store.bytes(), unchanged);
    // Another vendor's variable of the same name is another variable.
    store.write(u"Setup", kOther, 0x3, first);

    const VariableStore again = VariableStore::parse(store.bytes());
    ASSERT_EQ(again.variables().size(), 3u);
    EXPECT_EQ(vars_format::stateName(again.variables()[0].state), "deleted");
    EXPECT_EQ(again.variables()[1].offset, second_at);
    EXPECT_TRUE(again.variables()[1].live());
    const vars_format::Variable *setup = again.find(u"Setup", kSetup);
    ASSERT_NE(setup, nullptr);
    EXPECT_EQ(setup->offset, second_at);
    const auto data = again.data(*setup);
    EXPECT_EQ(Bytes(data.begin(), data.end()), second);
    EXPECT_EQ(again.find(u"setup", kSetup), nullptr) << "names are exact";
    EXPECT_EQ(again.reclaimableBytes(), (header + 15 + 3) & ~3u);

    // A deletion is one step: added, then deleted.
    store.remove(u"Setup", kSetup);
    EXPECT_EQ(store.bytes()[second_at + 2], 0x3D);
    EXPECT_EQ(store.find(u"Setup", kSetup), nullptr);
    EXPECT_NE(store.find(u"Setup", kOther), nullptr);
    EXPECT_THROW(store.remove(u"Setup", kSetup), vars_format::StoreRefusal);
  }
}

// Copies an update or a first write left behind when cut short: a lone
// copy in deleted transition is the one readers take, and the next write
// deletes it; a header whose name and data were never written (state
// header-valid-only, name bytes still erased) is walked past, not taken,
// and not held to the name rules.
TEST(VariableStore, CopiesOfAnInterruptedUpdateAreTakenAsTheDriverTakesThem) {
  VariableStore store = VariableStore::parse(empty(StoreFormat::Authenticated));
  store.write(u"Setup", kSetup, 0x7, Bytes{1});
  Bytes bytes = store.bytes();
  bytes[kFirst + 2] &= vars_format::kStateInDeletedTransition;
  // A header-valid-only copy of 4 erased name bytes and 1 data byte.
  const std::uint32_t cut = kFirst + 76;
  std::fill_n(bytes.begin() + cut, 60, 0);
  bytes[cut] = 0xAA;
  bytes[cut + 1] = 0x55;
  bytes[cut + 2] = vars_format::kStateHeaderValidOnly;
  put32(bytes, cut + 36, 4);
  put32(bytes, cut + 40, 1);
  std::copy(kSetup.bytes.begin(), kSetup.bytes.end(), bytes.begin() + cut + 44);
  store = VariableStore::parse(bytes);
  ASSERT_EQ(store.variables().size(), 2u);
  EXPECT_EQ(vars_format::stateName(store.variables()[1].state),
            "header-valid-only");
  const vars_format::Variable *taken = store.find(u"Setup", kSetup);
  ASSERT_NE(taken, nullptr);
  EXPECT_EQ(taken->offset, kFirst);
  EXPECT_EQ(store.freeOffset(), cut + 68);

  EXPECT_EQ(store.write(u"Setup", kSetup, 0x7, Bytes{2}),
            vars_format::WriteOutcome::Replaced);
  EXPECT_EQ(store.bytes()[kFirst + 2], 0x3C);
  EXPECT_EQ(store.find(u"Setup", kSetup)->offset, cut + 68);
}

TEST(VariableStore, CorruptHeadersAndVariablesAreRefusedSayingWhatWasExpected) {
  VariableStore good = VariableStore::parse(empty(StoreFormat::Authenticated));
  good.write(u"Setup", kSetup, 0x7, Bytes{1, 2});
  const Bytes sound = good.bytes();
  const std::uint32_t name = kFirst + 60;
  const std::vector<std::pair<std::function<void(Bytes &)>, std::string>>
      cases = {
          {[](Bytes &b) { b[40] = 'X'; }, "volume signature"},
          {[](Bytes &b) { b[50] ^= 1; }, "volume header checksum"},
          {[](Bytes &b) {
             b[16] ^= 1;
             fixChecksum(b);
           },
           "volume file system: expected the NV store"},
          {[](Bytes &b) {
             put32(b, 32, static_cast<std::uint32_t>(b.size() + 0x1000));
             fixChecksum(b);
           },
           "volume length"},
          {[](Bytes &b) {
             put32(b, 56, u32(b, 56) - 1);
             fixChecksum(b);
           },
           "volume block map"},
          {[](Bytes &b) {
             b[45] &= ~0x08;
             fixChecksum(b);
           },
           "erase polarity 1"},
          {[](Bytes &b) { b[kStore] ^= 1; }, "store signature"},
          {[](Bytes &b) { std::fill_n(b.begin() + kStore, 28, 0xFF); },
           "found erased bytes"},
          {[](Bytes &b) {
             put32(b, kStore + 16, static_cast<std::uint32_t>(b.size()));
           },
           "store size"},
          {[](Bytes &b) { b[kStore + 20] = 0xFF; }, "store format"},
          {[](Bytes &b) { b[kStore + 21] = 0xFF; }, "store state"},
          {[](Bytes &b) { put32(b, kFirst + 40, 0x3FFB8); },
           "expected its name and data to end within the store"},
          {[](Bytes &b) { put32(b, kFirst + 36, 11); }, "an odd size"},
          {[](Bytes &b) { b[name + 10] = 'x'; }, "no NUL at its end"},
          {[](Bytes &b) { b[name + 2] = b[name + 3] = 0; }, "a NUL at byte 2"},
          {[](Bytes &b) { b[name + 3] = 0xDC; }, "the surrogate 0xDC65"},
      };
  for (const auto &[corrupt, message] : cases) {
    Bytes bytes = sound;
    corrupt(bytes);
    try {
      VariableStore::parse(bytes);
      ADD_FAILURE() << "accepted: " << message;
    } catch (const VarsError &error) {
      EXPECT_NE(std::string(error.what()).find(message), std::string::npos)
          << error.what();
      EXPECT_EQ(std::string(error.what()).find('\n'), std::string::npos);
    }
  }
}

// The free space is used to its last byte and no further; what does not
// fit changes nothing. A copy is never written over bytes that are not
// erased (flash could only AND them).
TEST(VariableStore, AFullStoreRefusesTheCopyAndKeepsItsBytes) {
  // 28 bytes of store header and 200 of variables.
  VariableStore store =
      VariableStore::parse(empty(StoreFormat::Normal, 228, 0x1000));
  // 32-byte header, "A" (4 bytes) and 60 data bytes: 96 bytes each.
  store.write(u"A", kSetup, 0x7, Bytes(60, 1));
  store.write(u"A", kSetup, 0x7, Bytes(60, 2));
  EXPECT_EQ(store.storeEnd() - store.freeOffset(), 8u);
  const Bytes full = store.bytes();
  try {
    store.write(u"A", kSetup, 0x7, Bytes(60, 3));
    ADD_FAILURE() << "wrote past the store";
  } catch (const vars_format::StoreRefusal &error) {
    EXPECT_NE(std::string(error.what()).find("store full"), std::string::npos);
    EXPECT_NE(std::string(error.what()).find("96 more are held by deleted"),
              std::string::npos)
        << error.what();
  }
  EXPECT_EQ(store.bytes(), full);
  EXPECT_EQ(store.data(*store.find(u"A", kSetup))[0], 2);

  VariableStore exact =
      VariableStore::parse(empty(StoreFormat::Normal, 28 + 37, 0x1000));
  EXPECT_THROW(exact.write(u"A", kSetup, 0x7, Bytes(2, 0)),
               vars_format::StoreRefusal);
  exact.write(u"A", kSetup, 0x7, Bytes(1, 0));
  EXPECT_EQ(exact.freeOffset(), exact.storeEnd());

  Bytes dirty = empty(StoreFormat::Normal, 228, 0x1000);
  dirty[kFirst + 40] = 0x00;
  VariableStore blocked = VariableStore::parse(dirty);
  EXPECT_THROW(blocked.write(u"A", kSetup, 0x7, Bytes(60, 1)), VarsError);
  EXPECT_EQ(blocked.bytes(), dirty);
  // Stale bytes past where the copy would end count too: once a copy sits
  // in front of them the walk would reach them and take what they hold.
  Bytes stale = empty(StoreFormat::Normal, 228, 0x1000);
  stale[kFirst + 150] = 0x00;
  VariableStore behind = VariableStore::parse(stale);
  EXPECT_THROW(behind.write(u"A", kSetup, 0x7, Bytes(60, 1)), VarsError);
  EXPECT_EQ(behind.bytes(), stale);
  EXPECT_THROW(blocked.write(u"A", kSetup, 0x27, Bytes(1, 1)), VarsError)
      << "an authenticated write needs a signed update";
}

TEST(VariableNames, ACommandLineNameIsPrintableUtf8OfTheBasicPlane) {
  EXPECT_EQ(vars_format::nameFromUtf8("Setup"), u"Setup");
  EXPECT_EQ(vars_format::nameFromUtf8("Caf\xC3\xA9\xE2\x82\xAC"),
            u"Caf\u00E9\u20AC");
  EXPECT_EQ(vars_format::nameToUtf8(u"Caf\u00E9\u20AC\n"),
            "Caf\xC3\xA9\xE2\x82\xAC\\u000A");
  for (const auto &[bad, message] :
       std::vector<std::pair<std::string, std::string>>{
           {"", "an empty one"},
           {"\xF0\x9F\x98\x80", "U+1F600"},
           {"ab\xC3", "byte 0xC3 at offset 2"},
           {"\xC0\xAF", "byte 0xC0"},
           {"\xE0\x80\xAF", "byte 0xE0"},
           {"\xED\xA0\x80", "byte 0xED"},
           {"a\x80", "byte 0x80 at offset 1"},
           {"tab\there", "control character U+0009"},
           {"\xC2\x85", "control character U+0085"}}) {
    try {
      vars_format::nameFromUtf8(bad);
      ADD_FAILURE() << "accepted: " << message;
    } catch (const VarsError &error) {
      EXPECT_NE(std::string(error.what()).find(message), std::string::npos)
          << error.what();
    }
  }
}

// Debian's OVMF store through the program: "Setup" written from zeros
// with the transport selected, edited to decline it, read back and
// deleted; nothing outside the variables changes (the volume header, the
// fault-tolerant write area after the store).
TEST(PeiVars, WritesReadsAndDeletesSetupInDebiansOvmfStore) {
  if (!fs::exists(OVMF_VARS_PATH)) {
    GTEST_SKIP() << OVMF_VARS_PATH << " is not installed (package ovmf-ia32)";
  }
  const Scratch dir("ovmf");
  const fs::path store = dir / "VARS.fd", data = dir / "setup.bin";
  fs::copy_file(OVMF_VARS_PATH, store);
  const Bytes original = readFile(store);
  EXPECT_NE(tool("list " + store.string())
                .find("authenticated variable store at 0x48, 262072 bytes: 0 "
                      "variables"),
            std::string::npos);
  const std::string select =
      tool("write " + store.string() + " Setup --size 1024 --set-byte 256=2");
  EXPECT_NE(select.find("exit=0"), std::string::npos) << select;
  const std::string decline = tool("write " + store.string() +
                                   " Setup --set-byte 256=0 --set-byte "
                                   "0x1CA=1 --attributes 0x3");
  EXPECT_NE(decline.find("the copy at 0x64 deleted"), std::string::npos)
      << decline;
  const std::string listing = tool("list " + store.string());
  EXPECT_TRUE(std::regex_search(
      listing,
      std::regex("0x00064 +deleted +0x00000007 +1024 +"
                 "A04A27F4-DF00-4D42-B552-39511302113D +Setup\n +0x004AC +"
                 "added +0x00000003 +1024 +A04A27F4-DF00-4D42-B552-"
                 "39511302113D +Setup\n")))
      << listing;
  EXPECT_EQ(tool("read " + store.string() + " Setup -o " + data.string()),
            "exit=0\n");
  Bytes expected(1024, 0);
  expected[458] = 1;
  EXPECT_EQ(readFile(data), expected);
  // The same bytes from a file change nothing, not even the free space.
  const Bytes before = readFile(store);
  EXPECT_NE(
      tool("write " + store.string() + " Setup --data-file " + data.string())
          .find("unchanged"),
      std::string::npos);
  EXPECT_EQ(readFile(store), before);
  const Bytes written = readFile(store);
  ASSERT_EQ(written.size(), original.size());
  EXPECT_TRUE(
      std::equal(original.begin(), original.begin() + kFirst, written.begin()));
  EXPECT_TRUE(std::equal(original.begin() + 0x4AC + 60 + 12 + 1024,
                         original.end(),
                         written.begin() + 0x4AC + 60 + 12 + 1024));

  EXPECT_NE(tool("delete " + store.string() + " Setup").find("exit=0"),
            std::string::npos);
  const std::string gone = tool("read " + store.string() + " Setup");
  EXPECT_EQ(gone, "pei-vars: no variable \"Setup\" "
                  "(A04A27F4-DF00-4D42-B552-39511302113D) in the store\n"
                  "exit=1\n");
}

// Bad command lines and bad stores: one line, status 2; what cannot be
// done: status 1. Either way the store keeps its bytes and nothing is left
// beside it.
TEST(PeiVars, RefusedAndFailedRunsLeaveTheStoreAsItWas) {
  const Scratch dir("refused");
  const fs::path store = dir / "VARS.fd";
  VariableStore built = VariableStore::parse(
      VariableStore::makeEmpty(StoreFormat::Authenticated, 0x2000, 0x200));
  built.write(u"Setup", kSetup, 0x7, Bytes(16, 0));
  writeFile(store, built.bytes());
  Bytes corrupt = built.bytes();
  corrupt[kStore + 21] = 0xFF;
  writeFile(dir / "corrupt.fd", corrupt);
  const std::string s = store.string();
  const std::set<std::string> files = dir.files();
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"frobnicate " + s, "expected a command (list, read, write or delete)"},
      {"read " + s, "read: expected STORE and NAME, found only STORE"},
      {"read " + s + " Setup extra", "found another argument: \"extra\""},
      {"write " + s + " Setup --hex 00 -o x", "expected an option of write"},
      {"write " + s + " Setup --hex 0", "--hex: expected pairs"},
      {"write " + s + " Setup --hex 00 --size 4", "--size: expected one of"},
      {"write " + s + " Setup --set-byte 16=1", "--set-byte: expected an "
                                                "offset within the 16 bytes"},
      {"write " + s + " Setup --set-byte 1=256", "--set-byte: expected "
                                                 "OFFSET=VALUE"},
      {"write " + s + " Setup --size 4 --attributes 0x27",
       "--attributes: expected non-volatile"},
      {"write " + s + " Setup", "write: expected --data-file, --hex"},
      {"delete " + s + " Setup --guid 1234", "--guid: expected a GUID"},
      {"delete " + s + " $'Set\\xffup'", "NAME: expected UTF-8"},
      {"write " + s + " Setup --data-file " + (dir / "missing").string(),
       "missing: cannot open it"},
      {"write " + s + " Setup --data-file /tmp", "not a regular file"},
      {"read " + s + " Setup -o " + s, "--output: expected a file other than "
                                       "the store"},
      {"list /dev/zero", "/dev/zero: not a regular file (a device)"},
      {"write " + (dir / "corrupt.fd").string() + " Setup --size 1",
       "corrupt.fd: store state: expected 0xFE (healthy), found 0xFF"},
  };
  for (const auto &[arguments, message] : refused) {
    const std::string out = run("bash -c \"" + std::string(PEI_VARS_PATH) +
                                " " + arguments + "\" 2>&1; echo exit=$?");
    EXPECT_NE(out.find("pei-vars: "), std::string::npos) << out;
    EXPECT_NE(out.find(message), std::string::npos) << arguments << "\n" << out;
    EXPECT_NE(out.find("exit=2"), std::string::npos) << arguments << "\n"
                                                     << out;
    EXPECT_LE(std::count(out.begin(), out.end(), '\n'), 3) << out;
  }
  // Sound requests that cannot be done.
  for (const auto &[arguments, message] :
       std::vector<std::pair<std::string, std::string>>{
           {"write " + s + " Big --size 0x200", "store full"},
           {"delete " + s + " Setup --guid " + kOther.text(), "no variable"},
           {"write " + s + " New --set-byte 0=1", "to edit (or --size N"},
           {"read " + s + " Setup -o /dev/full", "/dev/full: cannot write"},
       }) {
    const std::string out = tool(arguments);
    EXPECT_NE(out.find(message), std::string::npos) << arguments << "\n" << out;
    EXPECT_NE(out.find("exit=1"), std::string::npos) << arguments << "\n"
                                                     << out;
  }
  // A replacement cut short (the file size limit stops it) leaves the old
  // store whole and no temporary file.
  const std::string limited = run("bash -c \"trap '' XFSZ; ulimit -f 4; exec " +
                                  std::string(PEI_VARS_PATH) + " write " + s +
                                  " Setup --size 32\" 2>&1; echo exit=$?");
  EXPECT_NE(limited.find("File too large"), std::string::npos) << limited;
  EXPECT_NE(limited.find("exit=1"), std::string::npos) << limited;
  EXPECT_EQ(readFile(store), built.bytes());
  EXPECT_EQ(dir.files(), files);
}

// The help names every option the parser takes, and no other.
TEST(PeiVars, HelpNamesExactlyTheOptionsTaken) {
  const std::string help(vars_format::kUsage);
  std::set<std::string> named;
  const std::regex option("--[a-z][a-z0-9-]*");
  for (auto it = std::sregex_iterator(help.begin(), help.end(), option);
       it != std::sregex_iterator(); ++it) {
    named.insert(it->str());
  }
  const std::vector<std::string> names = vars_format::commandLineOptionNames();
  EXPECT_EQ(named, std::set<std::string>(names.begin(), names.end()));
  EXPECT_EQ(run(std::string(PEI_VARS_PATH) + " --help"), help);
}

// UEFITool's parser, independent of ours, reads a store the program wrote:
// no message but the one any lone volume gets, the live variable by GUID and
// name, the old copy as no longer valid.
TEST(UefiExtract, ReadsTheStoreThatPeiVarsWrote) {
  if (run("command -v UEFIExtract").empty()) {
    GTEST_SKIP() << "UEFIExtract is not installed (package uefitool-cli)";
  }
  const Scratch dir("uefiextract");
  const fs::path store = dir / "VARS.fd";
  writeFile(store, empty(StoreFormat::Authenticated, 0x3FFB8, 0x42000));
  tool("write " + store.string() + " Setup --size 1024");
  tool("write " + store.string() + " Setup --set-byte 256=2");
  const std::string messages =
      run("cd " + (dir / "").string() + " && UEFIExtract VARS.fd report 2>&1");
  std::istringstream lines(messages);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.find("not a single Volume Top File is found") ==
                             std::string::npos) {
      ADD_FAILURE() << "parser message: " << line;
    }
  }
  std::ifstream in(dir / "VARS.fd.report.txt");
  std::stringstream report;
  report << in.rdbuf();
  const std::string text = report.str();
  EXPECT_TRUE(std::regex_search(
      text, std::regex(R"(VSS entry\s+\|\s+Invalid\s+\|\s+00000064\s)")))
      << text;
  EXPECT_TRUE(std::regex_search(
      text, std::regex(R"(VSS entry\s+\|\s+Auth\s+\|\s+000004AC\s.*)"
                       R"(A04A27F4-DF00-4D42-B552-39511302113D\s*\|\s*Setup)")))
      << text;
}

} // namespace
