// The PEI Foundation's services, PPI database and notification semantics,
// and the variable and PCD services, called from guest code through the
// services table as a module calls them.
#include "foundation.h"
#include "guest_stubs.h"
#include "hex.h"
#include "hob_list.h"
#include "services.h"

#include <gtest/gtest.h>

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
                            std::uint32_t d = 0) {
    return run(m, Stub::CallFunction,
               {service(slot), foundation.servicesPointer(), a, b, c, d, 0});
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
                   kCopyMem = 14, kSetMem = 15, kReportStatusCode = 16,
                   kRegisterForShadow = 23;

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

TEST_F(FoundationTest, OtherServicesStopTheRunNamingTheCaller) {
  try {
    callService(kFfsFindNextVolume);
    FAIL() << "FfsFindNextVolume did not stop the run";
  } catch (const GuestFault &fault) {
    const std::string message = fault.what();
    EXPECT_NE(message.find("unexpected service call: FfsFindNextVolume"),
              std::string::npos)
        << message;
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
  EXPECT_EQ(answered,
            (std::vector<std::string>{
                "InstallPpi", "ReInstallPpi", "LocatePpi", "NotifyPpi",
                "GetBootMode", "SetBootMode", "GetHobList", "CreateHob",
                "CopyMem", "SetMem", "ReportStatusCode", "RegisterForShadow"}));
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
