// The PEI Foundation's services, PPI database and notification semantics,
// and the variable and PCD services, called from guest code through the
// services table as a module calls them.
#include "ffs.h"
#include "foundation.h"
#include "guest_stubs.h"
#include "hex.h"
#include "hob_list.h"
#include "little_endian.h"
#include "lzma_stream.h"
#include "pci.h"
#include "services.h"

#include <gtest/gtest.h>
#include <lzma.h>

#include <string_view>
#include <tuple>

namespace {

using efi::Guid;
using machine::GuestFault;
using pei::Foundation;
using test::run;
using test::Stub;

constexpr std::uint32_t kBuffers = 0x00210000; // guest-writable test data
constexpr std::uint32_t kCount = test::kScratch;
constexpr std::uint32_t kRecords = test::kScratch + 4;

const Guid kFirst = Guid::parse("11111111-2222-3333-4444-555555555555");
const Guid kSecond = Guid::parse("66666666-7777-8888-9999-AAAAAAAAAAAA");

class FoundationTest : public ::testing::Test {
protected:
  FoundationTest() : foundation(m) {
    test::loadStubs(m);
    m.space().mapMemory(kBuffers, 0x4000, "test buffers", machine::kReadWrite);
  }

  std::uint32_t service(unsigned slot) {
    return m.read32(foundation.servicesTable() + 24 + 4 * slot);
  }
  // Calls a service from guest code through the services table.
  std::uint32_t callService(unsigned slot, std::uint32_t a = 0,
                            std::uint32_t b = 0, std::uint32_t c = 0,
                            std::uint32_t d = 0, std::uint32_t e = 0) {
    return run(m, Stub::CallFunction,
               {service(slot), foundation.servicesPointer(), a, b, c, d, e});
  }
  // Calls a service that takes no services pointer.
  std::uint32_t callPlain(unsigned slot, std::uint32_t a = 0,
                          std::uint32_t b = 0, std::uint32_t c = 0) {
    return run(m, Stub::CallFunction, {service(slot), a, b, c, 0, 0, 0});
  }
  // Guest data: a GUID or a descriptor in the test buffers.
  std::uint32_t put(std::span<const std::uint8_t> bytes) {
    const std::uint32_t at = next;
    m.write(at, bytes);
    next += (static_cast<std::uint32_t>(bytes.size()) + 15) & ~15u;
    return at;
  }
  std::uint32_t descriptor(std::uint32_t flags, const Guid &guid,
                           std::uint32_t pointer) {
    const std::uint32_t guidAt = put(guid.bytes);
    std::vector<std::uint8_t> bytes;
    for (std::uint32_t value : {flags, guidAt, pointer}) {
      for (int i = 0; i < 4; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
      }
    }
    return put(bytes);
  }
  // Consecutive descriptors, as a PPI or notify list must be.
  std::uint32_t
  list(std::initializer_list<std::tuple<std::uint32_t, Guid, std::uint32_t>>
           entries) {
    std::vector<std::uint8_t> bytes;
    for (const auto &[flags, guid, pointer] : entries) {
      for (std::uint32_t value : {flags, put(guid.bytes), pointer}) {
        for (int i = 0; i < 4; ++i) {
          bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
        }
      }
    }
    return put(bytes);
  }
  std::uint32_t notify(const Guid &guid, Stub callback) {
    return descriptor(0x80000020, guid, test::address(callback));
  }
  std::uint32_t count() { return m.read32(kCount); }
  std::uint32_t record(unsigned n) { return m.read32(kRecords + 4 * n); }

  machine::Machine m;
  Foundation foundation;
  std::uint32_t next = kBuffers;
};

constexpr unsigned kInstallPpi = 0, kReInstallPpi = 1, kLocatePpi = 2,
                   kNotifyPpi = 3, kGetBootMode = 4, kSetBootMode = 5,
                   kGetHobList = 6, kCreateHob = 7, kFfsFindNextVolume = 8,
                   kFfsFindNextFile = 9, kFfsFindSectionData = 10,
                   kInstallPeiMemory = 11, kAllocatePages = 12,
                   kAllocatePool = 13, kCopyMem = 14, kSetMem = 15,
                   kReportStatusCode = 16, kFfsFindFileByName = 20,
                   kFfsGetFileInfo = 21, kFfsGetVolumeInfo = 22,
                   kRegisterForShadow = 23, kFindSectionData3 = 24,
                   kFfsGetFileInfo2 = 25, kResetSystem2 = 26, kFreePages = 27;

TEST_F(FoundationTest, CallbackFiresForInstalledAndForLaterInstallations) {
  foundation.installPpi(kFirst, pei::GuestAddress{0x111});
  EXPECT_EQ(callService(kNotifyPpi, notify(kFirst, Stub::CountingCallback)),
            efi::kSuccess);
  EXPECT_EQ(count(), 0u) << "callbacks run after the guest call, not in it";
  foundation.runNotifications();
  EXPECT_EQ(count(), 1u);
  EXPECT_EQ(record(0), 0x111u);

  foundation.installPpi(kFirst, pei::GuestAddress{0x222});
  foundation.installPpi(kSecond, pei::GuestAddress{0x333});
  EXPECT_EQ(count(), 2u);
  EXPECT_EQ(record(1), 0x222u);
  ASSERT_EQ(foundation.fired().size(), 2u);
  EXPECT_EQ(foundation.fired()[1].status, pei::EfiStatus{efi::kSuccess});
}

TEST_F(FoundationTest, NotificationsCausedByCallbacksRunInTurn) {
  m.write32(test::kInstallList, descriptor(0x80000010, kSecond, 0x444));
  callService(kNotifyPpi, notify(kFirst, Stub::InstallingCallback));
  callService(kNotifyPpi, notify(kSecond, Stub::CountingCallback));
  foundation.installPpi(kFirst, pei::GuestAddress{0x111});
  EXPECT_EQ(count(), 1u);
  EXPECT_EQ(record(0), 0x444u);
  EXPECT_TRUE(foundation.locate(kSecond).has_value());
}

TEST_F(FoundationTest, InstallChecksTheWholeListBeforeInstallingAny) {
  // A notify entry in a PPI list spoils the whole list.
  const std::uint32_t bad =
      list({{0x10, kFirst, 0x111}, {0x80000020, kSecond, 0x222}});
  EXPECT_EQ(callService(kInstallPpi, bad), efi::kInvalidParameter);
  EXPECT_FALSE(foundation.locate(kFirst).has_value());
  EXPECT_EQ(callService(kInstallPpi, 0), efi::kInvalidParameter);

  const std::uint32_t good =
      list({{0x10, kFirst, 0x111}, {0x80000010, kSecond, 0x222}});
  EXPECT_EQ(callService(kInstallPpi, good), efi::kSuccess);
  EXPECT_EQ(foundation.locate(kFirst)->interface, pei::GuestAddress{0x111});
  EXPECT_EQ(foundation.locate(kSecond)->interface, pei::GuestAddress{0x222});
  EXPECT_EQ(callService(kNotifyPpi, descriptor(0x80000010, kFirst, 0)),
            efi::kInvalidParameter)
      << "a PPI entry is no notification";
}

TEST_F(FoundationTest, LocateFindsInstancesAndLeavesOutputsWhenNotFound) {
  foundation.installPpi(kFirst, pei::GuestAddress{0x111});
  foundation.installPpi(kFirst, pei::GuestAddress{0x222});
  const std::uint32_t guid = put(kFirst.bytes);
  const std::uint32_t outDescriptor = kBuffers + 0x3000;
  const std::uint32_t outPpi = kBuffers + 0x3004;
  EXPECT_EQ(callService(kLocatePpi, guid, 1, outDescriptor, outPpi),
            efi::kSuccess);
  EXPECT_EQ(m.read32(outPpi), 0x222u);
  EXPECT_EQ(m.read32(outDescriptor),
            foundation.locate(kFirst, 1)->descriptor.value);
  m.write32(outPpi, 0xDEADBEEF);
  EXPECT_EQ(callService(kLocatePpi, guid, 2, 0, outPpi), efi::kNotFound);
  EXPECT_EQ(m.read32(outPpi), 0xDEADBEEFu);
  EXPECT_EQ(callService(kLocatePpi, put(kSecond.bytes), 0, 0, outPpi),
            efi::kNotFound);
  // An out-parameter in memory the guest cannot write stops the run.
  EXPECT_THROW(callService(kLocatePpi, guid, 0, 0, test::kStubBase),
               GuestFault);
}

TEST_F(FoundationTest, ReInstallReplacesThePpiAndNotifies) {
  const std::uint32_t old = descriptor(0x80000010, kFirst, 0x111);
  callService(kInstallPpi, old);
  callService(kNotifyPpi, notify(kFirst, Stub::CountingCallback));
  foundation.runNotifications();
  const std::uint32_t replacement = descriptor(0x80000010, kFirst, 0x999);
  EXPECT_EQ(callService(kReInstallPpi, old, replacement), efi::kSuccess);
  foundation.runNotifications();
  EXPECT_EQ(foundation.locate(kFirst)->interface, pei::GuestAddress{0x999});
  EXPECT_EQ(count(), 2u);
  EXPECT_EQ(record(1), 0x999u);
  EXPECT_EQ(callService(kReInstallPpi, old, replacement), efi::kNotFound);
}

TEST_F(FoundationTest, RegisterForShadowOnceThenAlreadyStarted) {
  const auto registerShadow = [&](std::uint32_t handle) {
    return run(m, Stub::CallFunction,
               {service(kRegisterForShadow), handle, 0, 0, 0, 0, 0});
  };
  EXPECT_EQ(registerShadow(0x1234), efi::kNotFound);
  EXPECT_FALSE(foundation.shadowRequested());
  EXPECT_EQ(registerShadow(foundation.fileHandle()), efi::kSuccess);
  EXPECT_TRUE(foundation.shadowRequested());
  EXPECT_EQ(registerShadow(foundation.fileHandle()), efi::kAlreadyStarted);
}

// Every service of the table is answered; a function the platform refuses
// (IA-32 has no 64-bit port access, so the CPU I/O PPI's IoRead64) stops the
// run naming itself and its caller.
TEST_F(FoundationTest, RefusedFunctionsStopTheRunNamingTheCaller) {
  constexpr unsigned kIoRead64 = 7; // after Mem, Io and IoRead8..IoRead32
  const std::uint32_t function =
      m.read32(foundation.cpuIoPpi().value + 4 * kIoRead64);
  try {
    run(m, Stub::CallFunction, {function, 0, 0, 0, 0, 0, 0});
    FAIL() << "IoRead64 did not stop the run";
  } catch (const GuestFault &fault) {
    const std::string message = fault.what();
    EXPECT_NE(message.find("unexpected service call: "), std::string::npos)
        << message;
    EXPECT_NE(message.find("IoRead64"), std::string::npos) << message;
    // The caller is the call instruction in CallFunction, in the stub page.
    EXPECT_NE(message.find("guest at " +
                           common::hex(test::kStubBase, 8).substr(0, 8)),
              std::string::npos)
        << message;
  }
}

TEST(ServicesTable, NamesEverySlotInPiOrderAndListsThoseAnswered) {
  const auto &table = Foundation::kServices;
  EXPECT_STREQ(table[0].signature.name, "InstallPpi");
  EXPECT_STREQ(table[4].signature.name, "GetBootMode");
  EXPECT_STREQ(table[16].signature.name, "ReportStatusCode");
  EXPECT_STREQ(table[23].signature.name, "RegisterForShadow");
  EXPECT_STREQ(table[27].signature.name, "FreePages");
  std::vector<std::string> answered;
  for (const Foundation::Service &entry : table) {
    if (entry.handler != nullptr) {
      answered.emplace_back(entry.signature.name);
    }
  }
  EXPECT_EQ(answered, (std::vector<std::string>{"InstallPpi",
                                                "ReInstallPpi",
                                                "LocatePpi",
                                                "NotifyPpi",
                                                "GetBootMode",
                                                "SetBootMode",
                                                "GetHobList",
                                                "CreateHob",
                                                "FfsFindNextVolume",
                                                "FfsFindNextFile",
                                                "FfsFindSectionData",
                                                "InstallPeiMemory",
                                                "AllocatePages",
                                                "AllocatePool",
                                                "CopyMem",
                                                "SetMem",
                                                "ReportStatusCode",
                                                "ResetSystem",
                                                "FfsFindFileByName",
                                                "FfsGetFileInfo",
                                                "FfsGetVolumeInfo",
                                                "RegisterForShadow",
                                                "FindSectionData3",
                                                "FfsGetFileInfo2",
                                                "ResetSystem2",
                                                "FreePages"}));
}

// Boot mode, the HOB list, memory and status codes as PI defines them:
// services that need what is not there yet say so, the boot mode moves into
// the PHIT, CreateHob grows the list, CopyMem copies as memmove does, and a
// status code goes to the status code PPI once one is installed.
TEST_F(FoundationTest, BootModeHobsMemoryAndStatusCodesAnswerAsPiDefines) {
  const std::uint32_t out = put(std::vector<std::uint8_t>(16, 0));
  EXPECT_EQ(callService(kGetHobList, out), efi::kNotAvailableYet);
  EXPECT_EQ(callService(kCreateHob, 4, 24, out), efi::kNotAvailableYet);
  EXPECT_EQ(callService(kReportStatusCode, 1, 2, 3), efi::kNotAvailableYet);
  EXPECT_EQ(callService(kGetBootMode, 0), efi::kInvalidParameter);

  EXPECT_EQ(callService(kSetBootMode, 0x11), efi::kSuccess);
  foundation.placeHobList(kBuffers + 0x2000, kBuffers + 0x3000);
  EXPECT_EQ(callService(kGetBootMode, out), efi::kSuccess);
  EXPECT_EQ(m.read32(out), 0x11u) << "the boot mode set before the list";
  ASSERT_EQ(callService(kGetHobList, out), efi::kSuccess);
  EXPECT_EQ(m.read32(out), kBuffers + 0x2000);
  ASSERT_EQ(callService(kCreateHob, pei::hob::kGuidExtension, 30, out),
            efi::kSuccess);
  const std::vector<std::uint8_t> hobs = foundation.hobList()->bytes();
  const auto list = pei::walkHobList(hobs);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[1].type, pei::hob::kGuidExtension);
  EXPECT_EQ(list[1].length, 32u);
  EXPECT_EQ(m.read32(out), kBuffers + 0x2000 + list[1].offset);
  EXPECT_EQ(list[0].bytes[pei::hob::kBootMode], 0x11);

  std::vector<std::uint8_t> bytes(16);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(i);
  }
  const std::uint32_t data = put(bytes);
  run(m, Stub::CallFunction, {service(kCopyMem), data + 2, data, 8, 0, 0, 0});
  EXPECT_EQ(m.read(data, 10),
            (std::vector<std::uint8_t>{0, 1, 0, 1, 2, 3, 4, 5, 6, 7}));
  run(m, Stub::CallFunction, {service(kSetMem), data, 3, 0x1AB, 0, 0, 0});
  EXPECT_EQ(m.read(data, 4), (std::vector<std::uint8_t>{0xAB, 0xAB, 0xAB, 1}));
  // Sizes past the guest's memory are refused, not attempted.
  for (const unsigned slot : {kSetMem, kCopyMem}) {
    EXPECT_THROW(run(m, Stub::CallFunction,
                     {service(slot), data, slot == kSetMem ? 0xFFFFFFF0 : data,
                      0xFFFFFFF0, 0, 0, 0}),
                 GuestFault);
  }

  std::vector<std::uint32_t> reported;
  const std::uint32_t listener =
      m.addThunk("listener", [&](machine::ThunkCall &call) {
        for (unsigned n = 0; n < 6; ++n) {
          reported.push_back(call.argument(n));
        }
        return 0x1234u;
      });
  foundation.installPpi(efi::guids::kStatusCodePpi,
                        pei::GuestAddress{put(std::vector<std::uint8_t>{
                            static_cast<std::uint8_t>(listener),
                            static_cast<std::uint8_t>(listener >> 8),
                            static_cast<std::uint8_t>(listener >> 16),
                            static_cast<std::uint8_t>(listener >> 24)})});
  EXPECT_EQ(callService(kReportStatusCode, 1, 0x03041001, 7), 0x1234u);
  EXPECT_EQ(reported, (std::vector<std::uint32_t>{foundation.servicesPointer(),
                                                  1, 0x03041001, 7, 0, 0}));
}

// Memory as PI hands it out: nothing before a HOB list, pages from the top
// of free memory recorded in allocation HOBs, pool inside the list; one
// InstallPeiMemory over memory nothing else uses, and at the switch the list
// moves with the PPIs installed from its pool; FreePages frees what
// AllocatePages gave, in part too; a reset ends the run, recorded.
TEST_F(FoundationTest, MemoryServicesAnswerAsPiDefines) {
  const std::uint32_t out = put(std::vector<std::uint8_t>(16, 0));
  EXPECT_EQ(callService(kAllocatePool, 16, out), efi::kNotAvailableYet);
  foundation.placeHobList(kBuffers + 0x1000, kBuffers + 0x4000);
  EXPECT_EQ(callService(kAllocatePages, 7, 1, out), efi::kInvalidParameter);
  EXPECT_EQ(callService(kAllocatePages, 4, 4, out), efi::kOutOfResources);
  ASSERT_EQ(callService(kAllocatePages, 4, 1, out), efi::kSuccess);
  EXPECT_EQ(m.read32(out), kBuffers + 0x3000);
  EXPECT_EQ(m.read32(out + 4), 0u);
  EXPECT_EQ(callService(kAllocatePool, 0x10000, out), efi::kOutOfResources);
  ASSERT_EQ(callService(kAllocatePool, 12, out), efi::kSuccess);
  const std::uint32_t pool = m.read32(out);

  // A PPI whose descriptor and GUID lie in pool memory.
  const Guid guid = Guid::parse("11111111-2222-3333-4444-555555555555");
  std::vector<std::uint8_t> entry(12 + 16, 0);
  common::le::store(entry.data(), 4,
                    Foundation::kPpiFlag | Foundation::kTerminateList);
  common::le::store(entry.data() + 4, 4, pool + 12);
  std::copy(guid.bytes.begin(), guid.bytes.end(), entry.begin() + 12);
  ASSERT_EQ(callService(kAllocatePool, 28, out), efi::kSuccess);
  const std::uint32_t descriptor = m.read32(out);
  common::le::store(entry.data() + 4, 4, descriptor + 12);
  m.write(descriptor, entry);
  ASSERT_EQ(callService(kInstallPpi, descriptor), efi::kSuccess);

  constexpr std::uint32_t kMemory = 0x00800000;
  EXPECT_EQ(callService(kInstallPeiMemory, kMemory, 0, 0, 0),
            efi::kInvalidParameter);
  EXPECT_EQ(callService(kInstallPeiMemory, kBuffers, 0, 0x10000, 0),
            efi::kInvalidParameter)
      << "the range overlaps memory in use";
  ASSERT_EQ(callService(kInstallPeiMemory, kMemory, 0, 0x100000, 0),
            efi::kSuccess);
  EXPECT_EQ(callService(kInstallPeiMemory, 0x00A00000, 0, 0x100000, 0),
            efi::kSuccess)
      << "a second call is ignored";
  EXPECT_EQ(foundation.memoryInstalled()->begin, kMemory);
  const std::uint32_t top = foundation.switchToPermanentMemory(0x10000);
  EXPECT_EQ(top, kMemory + 0x100000);
  ASSERT_EQ(callService(kGetHobList, out), efi::kSuccess);
  EXPECT_EQ(m.read32(out), kMemory);
  const auto moved = foundation.locate(guid);
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved->descriptor.value,
            descriptor - (kBuffers + 0x1000) + kMemory);
  EXPECT_TRUE(foundation.locate(efi::guids::kMemoryDiscoveredPpi));

  ASSERT_EQ(callService(kAllocatePages, 3, 3, out), efi::kSuccess);
  const std::uint32_t pages = m.read32(out);
  EXPECT_LT(pages, top - 0x10000) << "below the stack";
  EXPECT_EQ(callService(kFreePages, pages + 1, 0, 1), efi::kInvalidParameter);
  EXPECT_EQ(callService(kFreePages, pages + 0x1000, 0, 1), efi::kSuccess);
  EXPECT_EQ(callService(kFreePages, pages + 0x1000, 0, 1), efi::kNotFound);
  EXPECT_EQ(callService(kFreePages, pages, 0, 1), efi::kSuccess);
  EXPECT_EQ(callService(kFreePages, pages + 0x2000, 0, 1), efi::kSuccess);
  EXPECT_EQ(callService(kFreePages, pages + 0x2000, 0, 1), efi::kNotFound);

  EXPECT_THROW(run(m, Stub::CallFunction,
                   {service(kResetSystem2), 2, efi::kDeviceError, 0, 0, 0, 0}),
               GuestFault);
  ASSERT_TRUE(foundation.reset());
  EXPECT_EQ(foundation.reset()->type, 2u);
  EXPECT_EQ(foundation.reset()->status, efi::kDeviceError);
}

// The trace shows a call as its entry declares the parameters: pointers by
// name and value, a GUID by name, a count in decimal, out-parameters not.
TEST_F(FoundationTest, TheTraceShowsACallAsItsEntryDeclaresIt) {
  foundation.installPpi(kFirst, pei::GuestAddress{0x111});
  const std::uint32_t outPpi = kBuffers + 0x3004;
  EXPECT_EQ(callService(kLocatePpi, put(kFirst.bytes), 0, 0, outPpi),
            efi::kSuccess);
  EXPECT_EQ(callService(kLocatePpi, 0, 3, 0, outPpi), efi::kInvalidParameter);
  const auto calls = m.trace().of(bus::TraceEvent::Kind::Service);
  ASSERT_EQ(calls.size(), 2u);
  const std::string services = common::hex(foundation.servicesPointer(), 8);
  EXPECT_EQ(calls[0].detail(), "LocatePpi(services=" + services + ", " +
                                   kFirst.text() +
                                   ", instance 0) = EFI_SUCCESS");
  EXPECT_EQ(calls[1].detail(), "LocatePpi(services=" + services +
                                   ", null, instance 3) = "
                                   "EFI_INVALID_PARAMETER");
  EXPECT_TRUE(calls[0].named(pei::service::kLocatePpi));
}

TEST_F(FoundationTest, ServicesPointerLiesBelowTheIdtAndCanMove) {
  const std::uint32_t first = foundation.servicesPointer();
  EXPECT_EQ(run(m, Stub::ServicesBelowIdt), first);
  const std::uint32_t moved = foundation.moveServices();
  EXPECT_NE(moved, first);
  EXPECT_EQ(run(m, Stub::ServicesBelowIdt), moved);
  // Both tables work: the old one was copied, not destroyed.
  const std::uint32_t oldTable = m.read32(first);
  const std::uint32_t install = m.read32(oldTable + 24);
  EXPECT_EQ(
      run(m, Stub::CallFunction,
          {install, first, descriptor(0x80000010, kFirst, 1), 0, 0, 0, 0}),
      efi::kSuccess);
}

// --- firmware volumes, files and sections -----------------------------------

namespace ff = ffs_format;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kFlash = 0x00400000; // volumes, read-only to the guest
constexpr std::uint32_t kHeap = 0x00440000;  // what the allocator hands out
constexpr std::uint32_t kHeapSize = 0x10000;
constexpr std::uint32_t kOut = kBuffers + 0x3E00; // out-parameters

const Guid kFileA = Guid::parse("A0000000-0000-0000-0000-00000000000A");
const Guid kFileB = Guid::parse("B0000000-0000-0000-0000-00000000000B");
const Guid kFileC = Guid::parse("C0000000-0000-0000-0000-00000000000C");
const Guid kGone = Guid::parse("D0000000-0000-0000-0000-00000000000D");
const Guid kLzma = Guid::parse("EE4E5898-3914-4259-9D6E-DC7BD79403CF");
const Guid kPlainGuided = Guid::parse("E0000000-0000-0000-0000-00000000000E");
const Guid kFfs2 = Guid::parse("8C8CE578-8A3D-4F1C-9935-896185C32DD3");

// "LZMA alone" data with its decoded size in the header.
Bytes compress(const Bytes &data) {
  lzma_options_lzma options;
  lzma_lzma_preset(&options, 6);
  volume::LzmaStream lzma;
  EXPECT_EQ(lzma_alone_encoder(lzma.get(), &options), LZMA_OK);
  Bytes out(data.size() + 4096);
  lzma_stream *s = lzma.get();
  s->next_in = data.data();
  s->avail_in = data.size();
  s->next_out = out.data();
  s->avail_out = out.size();
  while (lzma_code(s, LZMA_FINISH) == LZMA_OK) {
  }
  out.resize(out.size() - s->avail_out);
  common::le::store(out.data() + 5, 8, data.size());
  return out;
}

// Sections one after another, each on a 4-byte boundary.
Bytes sections(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes &part : parts) {
    all.insert(all.end(), part.begin(), part.end());
    all.resize(ff::alignUp(static_cast<std::uint32_t>(all.size()), 4));
  }
  return all;
}
Bytes raw(std::string_view text) {
  return ff::makeSection(ff::kSectionRaw, Bytes(text.begin(), text.end()));
}
Bytes guided(const Guid &guid, std::uint16_t attributes, const Bytes &data) {
  Bytes body(guid.bytes.begin(), guid.bytes.end());
  common::le::append(body, 2, 4 + 20); // DataOffset
  common::le::append(body, 2, attributes);
  common::le::append(body, data);
  return ff::makeSection(ff::kSectionGuidDefined, body);
}
// A compression section of type "not compressed": its data is the sections.
Bytes uncompressed(const Bytes &data) {
  Bytes body;
  common::le::append(body, 4, data.size());
  body.push_back(0);
  common::le::append(body, data);
  return ff::makeSection(0x01, body);
}
Bytes file(const Guid &name, std::uint8_t type, const Bytes &data,
           bool erasePolarity = true, std::uint32_t alignment = 1) {
  return ff::makeFile(name, type, alignment, data, erasePolarity, false);
}
// Where the file named `name` starts in a volume's bytes.
std::size_t offsetOf(const Bytes &volume, const Guid &name) {
  const auto at = std::search(volume.begin(), volume.end(), name.bytes.begin(),
                              name.bytes.end());
  EXPECT_NE(at, volume.end());
  return static_cast<std::size_t>(at - volume.begin());
}
// Sets a file header's checksum right again after a change.
void fixHeaderChecksum(Bytes &volume, std::size_t at) {
  volume[at + 16] = 0;
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < 24; ++i) {
    sum = static_cast<std::uint8_t>(sum +
                                    (i == 17 || i == 23 ? 0 : volume[at + i]));
  }
  volume[at + 16] = static_cast<std::uint8_t>(-sum);
}

class FirmwareFilesTest : public FoundationTest {
protected:
  FirmwareFilesTest() {
    m.space().mapMemory(kFlash, 0x10000, "flash", machine::kReadExecute);
    m.space().mapMemory(kHeap, kHeapSize, "heap", machine::kReadWrite);
  }
  // Puts a volume in flash and makes it known; returns its handle.
  std::uint32_t place(const Bytes &volume, std::uint32_t offset = 0) {
    m.write(kFlash + offset, volume);
    foundation.files().addVolume(pei::GuestAddress{kFlash + offset});
    return kFlash + offset;
  }
  // The handles FfsFindNextFile gives one after another from the start.
  std::vector<std::uint32_t> filesOf(std::uint8_t type, std::uint32_t volume) {
    std::vector<std::uint32_t> found;
    m.write32(kOut, 0);
    while (callService(kFfsFindNextFile, type, volume, kOut) == efi::kSuccess &&
           found.size() < 16) {
      found.push_back(m.read32(kOut));
    }
    return found;
  }
  std::vector<Guid> namesOf(std::uint8_t type, std::uint32_t volume) {
    std::vector<Guid> names;
    for (std::uint32_t handle : filesOf(type, volume)) {
      names.push_back(Guid::fromBytes(m.read(handle, 16)));
    }
    return names;
  }
  std::uint32_t byName(const Guid &name, std::uint32_t volume) {
    m.write32(kOut, 0);
    const std::uint32_t status =
        callPlain(kFfsFindFileByName, put(name.bytes), volume, kOut);
    return status == efi::kSuccess ? m.read32(kOut) : 0;
  }
  // The bytes of the instance-th section of the type in the file, or
  // nothing; `at` receives where they lie.
  std::optional<std::string> section(std::uint8_t type, std::uint32_t instance,
                                     std::uint32_t handle, std::size_t size,
                                     std::uint32_t *at = nullptr,
                                     std::uint32_t authentication = 0) {
    m.write32(kOut + 4, 0xFFFFFFFF);
    if (callService(kFindSectionData3, type, instance, handle, kOut,
                    kOut + 4) != efi::kSuccess) {
      return std::nullopt;
    }
    EXPECT_EQ(m.read32(kOut + 4), authentication) << "AuthenticationStatus";
    if (at != nullptr) {
      *at = m.read32(kOut);
    }
    const Bytes bytes = m.read(m.read32(kOut), size);
    return std::string(bytes.begin(), bytes.end());
  }
};

// Files come in volume order; ALL passes over pad files, deleted files are
// skipped, and the state is read through the volume's erase polarity.
TEST_F(FirmwareFilesTest, FilesComeInOrderByTypeWhateverThePolarity) {
  std::uint32_t offset = 0;
  std::vector<std::uint32_t> volumes;
  for (const bool polarity : {false, true}) {
    Bytes gone = file(kGone, ff::kFileTypePeim, raw("x"), polarity);
    gone[ff::kFileStateField] = ff::storedState(0x17, polarity); // deleted
    const Bytes pad = ff::makePadFile(48, polarity);
    const Bytes bytes = ff::makeVolume(
        std::vector<Bytes>{
            pad, file(kFileA, ff::kFileTypePeim, raw("a"), polarity), gone,
            file(kFileB, ff::kFileTypeFreeform, raw("b"), polarity),
            file(kFileC, ff::kFileTypePeim, raw("c"), polarity)},
        0x1000, polarity);
    const std::uint32_t volume = place(bytes, offset);
    volumes.push_back(volume);
    offset += 0x1000;
    EXPECT_EQ(namesOf(0, volume), (std::vector<Guid>{kFileA, kFileB, kFileC}))
        << polarity;
    EXPECT_EQ(namesOf(ff::kFileTypePeim, volume),
              (std::vector<Guid>{kFileA, kFileC}));
    EXPECT_EQ(filesOf(ff::kFileTypePad, volume),
              std::vector<std::uint32_t>{volume + 72});
    EXPECT_EQ(byName(kGone, volume), 0u) << "a deleted file is gone";
  }
  for (std::uint32_t instance = 0; instance < 3; ++instance) {
    m.write32(kOut, 0xAAAAAAAA);
    const std::uint32_t status =
        callService(kFfsFindNextVolume, instance, kOut);
    EXPECT_EQ(status, instance < 2 ? efi::kSuccess : efi::kNotFound);
    EXPECT_EQ(m.read32(kOut), instance < 2 ? volumes[instance] : 0xAAAAAAAA);
  }
  // Going on from the last file, or from what is no file of the volume,
  // finds nothing and leaves the handle alone.
  for (const std::uint32_t from :
       {byName(kFileC, volumes[0]), volumes[0] + 4}) {
    m.write32(kOut, from);
    EXPECT_EQ(callService(kFfsFindNextFile, 0, volumes[0], kOut),
              efi::kNotFound);
    EXPECT_EQ(m.read32(kOut), from);
  }
}

// A header whose checksum is wrong, a size past the volume's end, a volume
// header that does not sum to zero or runs past readable memory: each ends
// the search with EFI_NOT_FOUND, and the run goes on.
TEST_F(FirmwareFilesTest, MalformedHeadersEndTheSearchNotTheRun) {
  const std::vector<Bytes> files{file(kFileA, ff::kFileTypePeim, raw("a")),
                                 file(kFileB, ff::kFileTypePeim, raw("b")),
                                 file(kFileC, ff::kFileTypePeim, raw("c"))};
  Bytes badChecksum = ff::makeVolume(files, 0x1000, true);
  badChecksum[offsetOf(badChecksum, kFileB) + 16] ^= 1;
  const std::uint32_t first = place(badChecksum);
  EXPECT_EQ(namesOf(0, first), std::vector<Guid>{kFileA});
  EXPECT_EQ(byName(kFileC, first), 0u) << "nothing after the bad header";

  Bytes pastTheEnd = ff::makeVolume(files, 0x1000, true);
  const std::size_t c = offsetOf(pastTheEnd, kFileC);
  common::le::store(pastTheEnd.data() + c + ff::kFileSizeField, 3, 0x1000);
  fixHeaderChecksum(pastTheEnd, c);
  const std::uint32_t second = place(pastTheEnd, 0x1000);
  EXPECT_EQ(namesOf(0, second), (std::vector<Guid>{kFileA, kFileB}));

  Bytes badVolume = ff::makeVolume(files, 0x1000, true);
  badVolume[50] ^= 1; // the header checksum
  const std::uint32_t third = place(badVolume, 0x2000);
  Bytes tooLong = ff::makeVolume(files, 0x1000, true);
  common::le::store(tooLong.data() + 32, 8, 0x100000); // FvLength
  common::le::store(tooLong.data() + 50, 2, 0);
  std::uint16_t sum = 0;
  for (std::size_t i = 0; i < 72; i += 2) {
    sum = static_cast<std::uint16_t>(sum + common::le::load16(tooLong, i));
  }
  common::le::store(tooLong.data() + 50, 2, static_cast<std::uint16_t>(-sum));
  const std::uint32_t fourth = place(tooLong, 0x3000);
  foundation.files().addVolume(pei::GuestAddress{0x00700000}); // unmapped
  for (const std::uint32_t volume : {third, fourth, 0x00700000u}) {
    EXPECT_TRUE(filesOf(0, volume).empty());
    EXPECT_EQ(callPlain(kFfsGetVolumeInfo, volume, kOut),
              efi::kInvalidParameter);
  }
  // Searched by name over every volume, the sound ones still answer.
  EXPECT_EQ(byName(kFileB, 0), second + offsetOf(pastTheEnd, kFileB));
}

// The first section of a type, or its n-th instance, is found in file
// order depth first: inside GUID-defined sections that need no processing,
// uncompressed compression sections and, once an allocator gives memory for
// the decoded data, LZMA sections (decoded once).
TEST_F(FirmwareFilesTest, SectionsAreFoundInsideEncapsulationsByInstance) {
  // The sections of an encapsulation lie on 4-byte boundaries counted from
  // its data, as in a decoder's output: "four" follows "three" there.
  const Bytes data = sections(
      {raw("one"),
       guided(kPlainGuided, 0,
              sections({raw("two"),
                        uncompressed(sections({raw("three"), raw("four")}))})),
       guided(
           kLzma, 1,
           compress(sections({raw("five"), ff::makeSection(ff::kSectionPe32,
                                                           Bytes{'M', 'Z'})}))),
       raw("six"), guided(kPlainGuided, 2, raw("seven"))});
  const std::uint32_t volume = place(ff::makeVolume(
      std::vector<Bytes>{file(kFileA, ff::kFileTypeFreeform, data)}, 0x1000,
      true));
  const std::uint32_t handle = byName(kFileA, volume);
  ASSERT_NE(handle, 0u);
  ASSERT_EQ(callService(kFfsFindSectionData, ff::kSectionRaw, handle, kOut),
            efi::kSuccess);
  EXPECT_EQ(m.read(m.read32(kOut), 3), (Bytes{'o', 'n', 'e'}));
  EXPECT_EQ(section(ff::kSectionRaw, 1, handle, 3), "two");
  EXPECT_EQ(section(ff::kSectionRaw, 2, handle, 5), "three");
  EXPECT_EQ(section(ff::kSectionRaw, 3, handle, 4), "four");
  // Without an allocator the LZMA section's data is not there.
  EXPECT_EQ(section(ff::kSectionRaw, 4, handle, 3), "six");
  EXPECT_EQ(section(ff::kSectionPe32, 0, handle, 2), std::nullopt);

  unsigned allocations = 0;
  std::uint32_t used = 0;
  foundation.files().setAllocator(
      [&](std::uint32_t size) -> std::optional<std::uint32_t> {
        ++allocations;
        const std::uint32_t at = kHeap + used;
        used += (size + 7) & ~7u;
        return used <= kHeapSize ? std::optional{at} : std::nullopt;
      });
  std::uint32_t at = 0;
  EXPECT_EQ(section(ff::kSectionRaw, 4, handle, 4, &at), "five");
  EXPECT_GE(at, kHeap);
  EXPECT_LT(at, kHeap + used);
  EXPECT_EQ(section(ff::kSectionRaw, 5, handle, 3), "six");
  // Signed data used as it lies is not tested by anyone here.
  EXPECT_EQ(section(ff::kSectionRaw, 6, handle, 5, nullptr, 0x06), "seven");
  EXPECT_EQ(section(ff::kSectionRaw, 7, handle, 3), std::nullopt);
  EXPECT_EQ(section(ff::kSectionPe32, 0, handle, 2), "MZ");
  EXPECT_EQ(allocations, 1u) << "decoded once for every search";
  // The encapsulation itself is a section of its type, and is not opened.
  EXPECT_TRUE(section(ff::kSectionGuidDefined, 2, handle, 16).has_value());
  EXPECT_EQ(section(ff::kSectionGuidDefined, 3, handle, 16), std::nullopt);
}

// EFI_FV_FILE_INFO is 32 bytes (UINT8 type, then padding to the UINT32
// attributes), EFI_FV_FILE_INFO2 36, EFI_FV_INFO 48 with its UINT64 size at
// 40; nothing past them is written. Null arguments and handles that are no
// file or no known volume are refused.
TEST_F(FirmwareFilesTest, InfoLayoutsAndHandlesThatAreNoFileOrVolume) {
  const Bytes bytes = ff::makeVolume(
      std::vector<Bytes>{
          file(kFileA, ff::kFileTypePeim, raw("a")),
          file(kFileB, ff::kFileTypeFreeform, raw("bb"), true, 16)},
      0x1000, true);
  const std::uint32_t volume = place(bytes);
  const std::uint32_t handle = byName(kFileB, volume);
  ASSERT_NE(handle, 0u);
  const Bytes fill(64, 0xEE);
  m.write(kOut, fill);
  ASSERT_EQ(callPlain(kFfsGetFileInfo, handle, kOut), efi::kSuccess);
  const Bytes info = m.read(kOut, 40);
  EXPECT_EQ(Guid::fromBytes(std::span(info).first(16)), kFileB);
  EXPECT_EQ(info[16], ff::kFileTypeFreeform);
  // Aligned to 2^4, in a memory-mapped volume.
  EXPECT_EQ(common::le::load32(info, 20), 4u | 0x200u);
  EXPECT_EQ(common::le::load32(info, 24), handle + 24);
  EXPECT_EQ(common::le::load32(info, 28), 4u + 2u);
  EXPECT_EQ(common::le::load32(info, 32), 0xEEEEEEEEu);
  ASSERT_EQ(callPlain(kFfsGetFileInfo2, handle, kOut), efi::kSuccess);
  EXPECT_EQ(m.read(kOut, 32), Bytes(info.begin(), info.begin() + 32));
  EXPECT_EQ(m.read32(kOut + 32), 0u) << "AuthenticationStatus";
  EXPECT_EQ(m.read32(kOut + 36), 0xEEEEEEEEu);

  m.write(kOut, fill);
  ASSERT_EQ(callPlain(kFfsGetVolumeInfo, volume, kOut), efi::kSuccess);
  const Bytes fv = m.read(kOut, 52);
  EXPECT_EQ(common::le::load32(fv, 0), common::le::load32(bytes, 44));
  EXPECT_EQ(Guid::fromBytes(std::span(fv).subspan(4, 16)), kFfs2);
  EXPECT_EQ(Guid::fromBytes(std::span(fv).subspan(20, 16)), Guid{})
      << "no extended header, no name";
  EXPECT_EQ(common::le::load32(fv, 36), volume);
  EXPECT_EQ(common::le::load64(fv, 40), 0x1000u);
  EXPECT_EQ(common::le::load32(fv, 48), 0xEEEEEEEEu);

  m.write(kOut, fill);
  for (const std::uint32_t bad : {0u, volume, handle + 4, handle + 0x10000}) {
    EXPECT_EQ(callPlain(kFfsGetFileInfo, bad, kOut), efi::kInvalidParameter);
    EXPECT_EQ(callPlain(kFfsGetFileInfo2, bad, kOut), efi::kInvalidParameter);
    EXPECT_EQ(callService(kFfsFindSectionData, ff::kSectionRaw, bad, kOut),
              efi::kNotFound);
  }
  for (const std::uint32_t bad : {0u, handle, volume + 0x1000}) {
    EXPECT_EQ(callPlain(kFfsGetVolumeInfo, bad, kOut), efi::kInvalidParameter);
    EXPECT_EQ(callService(kFfsFindNextFile, 0, bad, kOut), efi::kNotFound);
  }
  EXPECT_EQ(m.read(kOut, 64), fill) << "nothing written for a refusal";
  EXPECT_EQ(callPlain(kFfsGetFileInfo, handle, 0), efi::kInvalidParameter);
  EXPECT_EQ(callPlain(kFfsGetVolumeInfo, volume, 0), efi::kInvalidParameter);
  EXPECT_EQ(callService(kFfsFindNextVolume, 0, 0), efi::kInvalidParameter);
  EXPECT_EQ(callService(kFfsFindNextFile, 0, volume, 0),
            efi::kInvalidParameter);
  EXPECT_EQ(callService(kFfsFindSectionData, ff::kSectionRaw, handle, 0),
            efi::kInvalidParameter);
  EXPECT_EQ(callService(kFindSectionData3, ff::kSectionRaw, 0, handle, kOut, 0),
            efi::kInvalidParameter);
  EXPECT_EQ(callPlain(kFfsFindFileByName, 0, volume, kOut),
            efi::kInvalidParameter);
  EXPECT_EQ(callPlain(kFfsFindFileByName, put(kFileB.bytes), volume, 0),
            efi::kInvalidParameter);
  EXPECT_EQ(byName(kFileB, volume + 0x1000), 0u) << "no such volume";
  // The trace shows the calls as their entries declare them.
  const auto calls = m.trace().of(bus::TraceEvent::Kind::Service);
  EXPECT_EQ(calls.back().detail(),
            "FfsFindFileByName(" + kFileB.text() + ", volume=" +
                common::hex(volume + 0x1000, 8) + ") = EFI_NOT_FOUND");
}

// --- the CPU I/O and PCI configuration PPIs ---------------------------------

class IoPpiTest : public FoundationTest {
protected:
  // Calls function n of the PPI at `ppi` with the services pointer, the PPI
  // and up to six more arguments.
  std::uint32_t callPpi(pei::GuestAddress ppi, unsigned n,
                        std::initializer_list<std::uint32_t> rest) {
    std::vector<std::uint32_t> args{m.read32(ppi.value + 4 * n),
                                    foundation.servicesPointer(), ppi.value};
    args.insert(args.end(), rest.begin(), rest.end());
    args.resize(9, 0);
    return m.call("PPI call", test::address(Stub::CallFunction8), args);
  }
  std::uint32_t slot(unsigned n) {
    return m.read32(foundation.servicesTable() + 24 + 4 * n);
  }
};

// CPU I/O: Mem and Io with the FIFO (address stays) and FILL (buffer stays)
// kinds, the helpers with a 64-bit result in EDX:EAX, refusals that reach
// no device, and a port nobody models answered as the guest's own IN is.
TEST_F(IoPpiTest, CpuIoReachesDevicesAsTheGuestsOwnAccessesDo) {
  const pei::GuestAddress ppi = foundation.cpuIoPpi();
  EXPECT_EQ(slot(Foundation::kCpuIoSlot), ppi.value);
  std::vector<std::uint64_t> written;
  std::uint64_t latch = 0;
  m.space().mapPorts(
      0x80, 4,
      {.name = "test port",
       .registers = {{.name = "latch",
                      .widths = bus::kAnyWidth,
                      .read = [&](std::uint64_t, unsigned) { return latch; },
                      .write =
                          [&](std::uint64_t, unsigned, std::uint64_t value) {
                            latch = value;
                            written.push_back(value);
                          }}}});
  std::uint64_t wide = 0;
  m.space().mapRegisters(
      0xFED00000, 0x1000,
      {.name = "test registers",
       .registers = {{.name = "wide",
                      .length = 8,
                      .widths = bus::kDword | bus::kQword,
                      .read =
                          [&](std::uint64_t offset, unsigned size) {
                            return size == 8 ? wide : wide >> (8 * offset);
                          },
                      .write = [&](std::uint64_t, unsigned,
                                   std::uint64_t value) { wide = value; }}}});
  enum : unsigned { kMemRead, kMemWrite, kIoRead, kIoWrite };
  const std::uint32_t buffer = put(Bytes{1, 2, 3, 4, 5, 6, 7, 8});
  EXPECT_EQ(callPpi(ppi, kIoWrite, {4, 0x80, 0, 3, buffer}), efi::kSuccess);
  EXPECT_EQ(written, (std::vector<std::uint64_t>{1, 2, 3})) << "FIFO";
  EXPECT_EQ(callPpi(ppi, 4, {0x80, 0}), 3u) << "IoRead8";
  EXPECT_EQ(callPpi(ppi, 10, {0x80, 0, 0x11223344}), 0u) << "IoWrite32";
  EXPECT_EQ(callPpi(ppi, kIoRead, {2, 0x80, 0, 1, kOut}), efi::kSuccess);
  EXPECT_EQ(m.read32(kOut), 0x11223344u);

  EXPECT_EQ(callPpi(ppi, kMemWrite, {3, 0xFED00000, 0, 1, buffer}),
            efi::kSuccess);
  EXPECT_EQ(wide, 0x0807060504030201u);
  EXPECT_EQ(callPpi(ppi, 15, {0xFED00000, 0}), 0x04030201u) << "MemRead64";
  EXPECT_EQ(m.lastCall().after.edx, 0x08070605u);
  EXPECT_EQ(callPpi(ppi, kMemWrite, {10, kOut, 0, 3, buffer}), efi::kSuccess);
  EXPECT_EQ(m.read(kOut, 16),
            (Bytes{1, 2, 3, 4, 1, 2, 3, 4, 1, 2, 3, 4, 0, 0, 0, 0}))
      << "FILL";
  EXPECT_EQ(callPpi(ppi, kMemRead, {1, kOut + 2, 0, 2, kOut + 8}),
            efi::kSuccess);
  EXPECT_EQ(m.read(kOut + 8, 4), (Bytes{3, 4, 1, 2}));

  const std::size_t before = written.size();
  for (const auto &[width, port, status] :
       {std::tuple{3u, 0x80u, efi::kInvalidParameter}, // no 64-bit ports
        {12u, 0x80u, efi::kInvalidParameter},
        {1u, 0x81u, efi::kUnsupported},      // unaligned
        {2u, 0xFFFCu, efi::kUnsupported}}) { // past the last port
    EXPECT_EQ(callPpi(ppi, kIoWrite, {width, port, 0, 2, buffer}), status)
        << width << " " << port;
  }
  EXPECT_EQ(callPpi(ppi, kIoWrite, {0, 0x80, 0, 1, 0}), efi::kInvalidParameter);
  EXPECT_EQ(written.size(), before) << "a refusal reaches no device";

  EXPECT_THROW(callPpi(ppi, 4, {0x90, 0}), GuestFault);
  m.space().setUnmodelled(bus::Unmodelled::Record);
  EXPECT_EQ(callPpi(ppi, 4, {0x90, 0}), 0xFFu);
  ASSERT_EQ(m.space().unmodelledAccesses().size(), 1u);
  EXPECT_EQ(m.space().unmodelledAccesses()[0].address, 0x90u);
}

// PCI configuration through 0xCF8/0xCFC: 0xCF8 is left as it was, an
// unaligned access goes in aligned pieces, Modify clears then sets, an
// extended register reaches past 0xFF only once the chipset honours it, and
// an empty slot reads all ones.
TEST_F(IoPpiTest, PciCfgGoesThroughTheConfigurationPorts) {
  devices::PciBus pci(m.space());
  devices::ConfigPorts ports(m.space(), pci);
  devices::PciFunction function;
  pci.attach({0, 3, 0}, function);
  const pei::GuestAddress ppi = foundation.pciCfgPpi();
  EXPECT_EQ(slot(Foundation::kPciCfgSlot), ppi.value);
  EXPECT_EQ(m.read(ppi.value + 12, 2), (Bytes{0, 0})) << "Segment";
  enum : unsigned { kRead, kWrite, kModify };
  const auto at = [](std::uint32_t device, std::uint32_t reg) {
    return device << 16 | reg;
  };
  run(m, Stub::Out32, {0xCF8, 0x80001234});
  const std::uint32_t value = put(Bytes{0xEF, 0xBE, 0, 0});
  EXPECT_EQ(callPpi(ppi, kWrite, {1, at(3, 0x42), 0, value}), efi::kSuccess);
  EXPECT_EQ(callPpi(ppi, kRead, {2, at(3, 0x40), 0, kOut}), efi::kSuccess);
  EXPECT_EQ(m.read32(kOut), 0xBEEF0000u);
  EXPECT_EQ(ports.address(), 0x80001234u);
  EXPECT_EQ(callPpi(ppi, kRead, {2, at(3, 0x41), 0, kOut}), efi::kSuccess);
  EXPECT_EQ(m.read32(kOut), 0x00BEEF00u);
  // In bytes, as no data port access may run past 0xCFF.
  const auto config = m.trace().of(devices::kPciConfigTrace);
  ASSERT_GE(config.size(), 4u);
  for (std::uint16_t i = 0; i < 4; ++i) {
    const bus::TraceEvent &event = config[config.size() - 4 + i];
    EXPECT_EQ(event.size, 1u);
    EXPECT_EQ(event.address,
              (devices::PciLocation{0, 3, 0}.windowOffset(0x41 + i)));
  }
  const std::uint32_t set = put(Bytes{0x0F});
  const std::uint32_t clear = put(Bytes{0xFF});
  EXPECT_EQ(callPpi(ppi, kModify, {0, at(3, 0x43), 0, set, clear}),
            efi::kSuccess);
  EXPECT_EQ(function.read(0x40), 0x0FEF0000u);

  // Register 0x140: without extended access the chipset drops bits 11:8.
  EXPECT_EQ(callPpi(ppi, kRead, {2, at(3, 0), 0x140, kOut}), efi::kSuccess);
  EXPECT_EQ(m.read32(kOut), 0x0FEF0000u);
  ports.setNbConfig(devices::ConfigPorts::kExtendedConfig);
  EXPECT_EQ(callPpi(ppi, kRead, {2, at(3, 0), 0x140, kOut}), efi::kSuccess);
  EXPECT_EQ(m.read32(kOut), 0u);
  EXPECT_EQ(callPpi(ppi, kRead, {2, at(4, 0), 0, kOut}), efi::kSuccess);
  EXPECT_EQ(m.read32(kOut), 0xFFFFFFFFu) << "no function at 0:4.0";

  for (const auto &[width, low, high] : {std::tuple{3u, at(3, 0), 0u},
                                         {1u, at(32, 0), 0u},
                                         {2u, at(3, 0), 0xFFEu}}) {
    EXPECT_EQ(callPpi(ppi, kRead, {width, low, high, kOut}),
              efi::kInvalidParameter);
  }
  EXPECT_EQ(callPpi(ppi, kRead, {0, at(3, 0), 0, 0}), efi::kInvalidParameter);
  EXPECT_EQ(callPpi(ppi, kModify, {0, at(3, 0), 0, set, 0}),
            efi::kInvalidParameter);
}

class ServicesTest : public FoundationTest {
protected:
  std::uint32_t getVariable(const pei::VariableService &variables,
                            const std::u16string &name, const Guid &guid,
                            std::uint32_t size, std::uint32_t buffer) {
    std::vector<std::uint8_t> text;
    for (char16_t c : name + u'\0') {
      text.push_back(static_cast<std::uint8_t>(c));
      text.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    m.write32(kSize, size);
    const std::uint32_t ppi = variables.ppi().value;
    const std::uint32_t getVariableThunk = m.read32(ppi);
    return run(m, Stub::CallFunction,
               {getVariableThunk, ppi, put(text), put(guid.bytes), kAttributes,
                kSize, buffer});
  }
  // How the trace shows the service calls so far.
  std::vector<std::string> serviceTexts() const {
    std::vector<std::string> texts;
    for (const auto &event : m.trace().of(bus::TraceEvent::Kind::Service)) {
      texts.push_back(event.detail());
    }
    return texts;
  }
  static constexpr std::uint32_t kSize = kBuffers + 0x3F00;
  static constexpr std::uint32_t kAttributes = kBuffers + 0x3F04;
  static constexpr std::uint32_t kData = kBuffers + 0x1000;
};

TEST_F(ServicesTest, GetVariableAnswersAsPiDefinesIt) {
  std::vector<std::uint8_t> setup(2000);
  for (std::size_t i = 0; i < setup.size(); ++i) {
    setup[i] = static_cast<std::uint8_t>(i * 7);
  }
  pei::VariableService variables(foundation, setup);
  m.write(kData, std::vector<std::uint8_t>(16, 0xAA));
  EXPECT_EQ(
      getVariable(variables, u"Setup", efi::guids::kSetupVariable, 1024, kData),
      efi::kBufferTooSmall);
  EXPECT_EQ(m.read32(kSize), 2000u) << "the size needed";
  EXPECT_EQ(m.read32(kData), 0xAAAAAAAAu) << "the buffer is left alone";
  EXPECT_EQ(
      getVariable(variables, u"Setup", efi::guids::kSetupVariable, 4096, 0),
      efi::kInvalidParameter)
      << "large enough, but no buffer";
  EXPECT_EQ(
      getVariable(variables, u"Setup", efi::guids::kSetupVariable, 2000, kData),
      efi::kSuccess);
  EXPECT_EQ(m.read(kData, 2000), setup);
  EXPECT_EQ(m.read32(kAttributes), pei::VariableService::kAttributes);
  EXPECT_EQ(
      getVariable(variables, u"Setu", efi::guids::kSetupVariable, 4096, kData),
      efi::kNotFound);
  EXPECT_EQ(getVariable(variables, u"Setup", kFirst, 4096, kData),
            efi::kNotFound);

  pei::VariableService none(foundation, std::nullopt);
  EXPECT_EQ(getVariable(none, u"Setup", efi::guids::kSetupVariable, 4096, 0),
            efi::kNotFound);

  const std::string asked = "GetVariable(\"Setup\", SetupVariable, DataSize ";
  EXPECT_EQ(serviceTexts(),
            (std::vector<std::string>{
                asked + "1024) = EFI_BUFFER_TOO_SMALL, DataSize set to 2000",
                asked + "4096) = EFI_INVALID_PARAMETER (null buffer)",
                asked + "2000) = EFI_SUCCESS, 2000 bytes",
                "GetVariable(\"Setu\", SetupVariable, DataSize 4096) = "
                "EFI_NOT_FOUND",
                "GetVariable(\"Setup\", " + kFirst.text() +
                    ", DataSize 4096) = EFI_NOT_FOUND",
                asked + "4096) = EFI_NOT_FOUND"}));
}

// A call is recorded as numbers, decoded when the trace is read: what the
// guest passed then, whatever its memory holds now. A name becomes text once
// for calls that keep to it.
TEST_F(ServicesTest, TheTraceKeepsACallsArgumentsAsTheyWere) {
  pei::VariableService variables(foundation, std::vector<std::uint8_t>(8, 1));
  for (int i = 0; i < 2; ++i) {
    getVariable(variables, u"Setup", efi::guids::kSetupVariable, 8, kData);
  }
  m.write(kBuffers, std::vector<std::uint8_t>(0x3F08, 0));
  const auto calls = m.trace().of(bus::TraceEvent::Kind::Service);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].detail(), "GetVariable(\"Setup\", SetupVariable, "
                               "DataSize 8) = EFI_SUCCESS, 8 bytes");
  EXPECT_TRUE(calls[1].from(pei::VariableService::kFunctions[0].signature));
  EXPECT_EQ(calls[0].text, calls[1].text) << "one text for the same name";
}

TEST_F(ServicesTest, SetPtrStoresToken11UpToItsMaximum) {
  pei::PcdService pcd(foundation, {});
  const std::uint32_t setPtr = m.read32(pcd.ppi().value + 76);
  const std::uint32_t size = kBuffers + 0x3F00;
  const std::uint32_t value = put(efi::guids::kTpmInstance.bytes);
  m.write32(size, 17);
  EXPECT_EQ(run(m, Stub::CallFunction, {setPtr, 11, size, value, 0, 0, 0}),
            efi::kInvalidParameter);
  EXPECT_EQ(m.read32(size), 16u) << "the maximum is written back";
  EXPECT_FALSE(pcd.token11().has_value());
  EXPECT_EQ(run(m, Stub::CallFunction, {setPtr, 11, size, value, 0, 0, 0}),
            efi::kSuccess);
  EXPECT_EQ(*pcd.token11(),
            std::vector<std::uint8_t>(efi::guids::kTpmInstance.bytes.begin(),
                                      efi::guids::kTpmInstance.bytes.end()));
  EXPECT_EQ(run(m, Stub::CallFunction, {setPtr, 12, size, value, 0, 0, 0}),
            efi::kNotFound);
  EXPECT_THROW(run(m, Stub::CallFunction,
                   {m.read32(pcd.ppi().value + 4), 11, 0, 0, 0, 0, 0}),
               GuestFault)
      << "Get8 is not provided";
  EXPECT_EQ(serviceTexts(),
            (std::vector<std::string>{
                "SetPtr(token 11, size 17) = EFI_INVALID_PARAMETER, "
                "size set to the maximum 16",
                "SetPtr(token 11, size 16) = EFI_SUCCESS",
                "SetPtr(token 12, size 16) = EFI_NOT_FOUND"}));
}

TEST_F(ServicesTest, AFunctionThePlatformDoesNotAnswerStopsTheRunNamed) {
  pei::PcdService pcd(foundation, {});
  try {
    run(m, Stub::CallFunction,
        {m.read32(pcd.ppi().value + 4 * 25), 0, 11, 0, 0, 0, 0});
    FAIL() << "SetPtrEx did not stop the run";
  } catch (const GuestFault &fault) {
    EXPECT_NE(std::string(fault.what())
                  .find("unexpected service call: PcdPpi SetPtrEx (slot 25)"),
              std::string::npos)
        << fault.what();
  }
}

} // namespace
