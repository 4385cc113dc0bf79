// The module's life in PEI, through its real entry points on the shipped
// image: the two dispatches and the shadow, the activation decided from
// "Setup", and the announcement of its instance in configuration token 11.
#include "rig.h"

#include "hex.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

namespace conformance {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

std::vector<std::uint8_t> instanceBytes() {
  const auto &bytes = efi::guids::kTpmInstance.bytes;
  return {bytes.begin(), bytes.end()};
}

std::optional<pei::Foundation::Notification>
armedOn(pei::Foundation &foundation, const efi::Guid &guid) {
  for (const auto &n : foundation.notifications()) {
    if (n.guid == guid) {
      return n;
    }
  }
  return std::nullopt;
}

// --- the two dispatches and the shadow ---------------------------------------

TEST(Dispatch, FromFlashOnlyRegistersForShadow) {
  Booted rig;
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  const auto flash = rig.during("ModuleEntry (flash)");
  EXPECT_THAT(serviceTexts(flash),
              ElementsAre(StartsWith("RegisterForShadow(file=")));
  EXPECT_THAT(serviceTexts(flash)[0], HasSubstr("= EFI_SUCCESS"));
  EXPECT_THAT(hardware(flash), IsEmpty());
}

TEST(Dispatch, FromTheShadowArmsTheTriggerAndRunsRelocated) {
  platform::Scenario scenario;
  scenario.triggerInstalls = 0;
  Booted rig(scenario);
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  const auto shadow = rig.during("ModuleEntry (shadow)");
  EXPECT_THAT(
      serviceTexts(shadow),
      ElementsAre(
          HasSubstr("RegisterForShadow"),
          StartsWith("NotifyPpi(services=" +
                     common::hex(rig.foundation().servicesPointer(), 8))));
  EXPECT_THAT(serviceTexts(shadow)[0], HasSubstr("EFI_ALREADY_STARTED"));
  EXPECT_THAT(hardware(shadow), IsEmpty());
  // The trigger descriptor and its callback lie in the shadow copy (the
  // flash copy is no longer readable, so a missed relocation would fault).
  const auto trigger = armedOn(rig.foundation(), efi::guids::kTriggerPpi);
  ASSERT_TRUE(trigger);
  const auto &copy = *rig.platform().shadow();
  const std::uint32_t end = copy.base + shippedImage().sizeOfImage();
  EXPECT_GE(trigger->callback.entry, copy.base);
  EXPECT_LT(trigger->callback.entry, end);
  EXPECT_GE(trigger->descriptor.value, copy.base);
  EXPECT_LT(trigger->descriptor.value, end);
  EXPECT_EQ(trigger->flags, 0x80000020u);
  EXPECT_GT(rig.report().relocations, 0u);
}

// Byte offsets of the services the tests replace in the services table.
constexpr std::uint32_t kInstallPpi = 24;
constexpr std::uint32_t kLocatePpi = 32;
constexpr std::uint32_t kNotifyPpi = 36;
constexpr std::uint32_t kRegisterForShadow = 116;

// A copy of the Foundation's services table (up to RegisterForShadow) with
// the given slots replaced; returns a services pointer to it.
std::uint32_t servicesWith(
    Booted &rig,
    std::initializer_list<std::pair<std::uint32_t, std::uint32_t>> slots) {
  auto &foundation = rig.foundation();
  const std::uint32_t table = foundation.allocate(
      rig.machine().read(foundation.servicesTable(), kRegisterForShadow + 4));
  for (const auto &[offset, function] : slots) {
    rig.machine().write32(table + offset, function);
  }
  const std::uint32_t pointer =
      foundation.allocate(std::vector<std::uint8_t>(4));
  rig.machine().write32(pointer, table);
  return pointer;
}

// A services table whose NotifyPpi and RegisterForShadow are the test's own.
struct OwnServices {
  OwnServices(Booted &rig, std::uint32_t notifyStatus) {
    const std::uint32_t notify = rig.machine().addThunk(
        "own NotifyPpi", [this, notifyStatus](machine::ThunkCall &c) {
          notified.push_back({c.argument(0), c.argument(1)});
          return notifyStatus;
        });
    const std::uint32_t shadow = rig.machine().addThunk(
        "own RegisterForShadow", [this](machine::ThunkCall &) {
          ++registrations;
          return efi::kAlreadyStarted;
        });
    servicesPointer =
        servicesWith(rig, {{kNotifyPpi, notify}, {kRegisterForShadow, shadow}});
  }
  std::uint32_t servicesPointer = 0;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> notified;
  unsigned registrations = 0;
};

TEST(Dispatch, TheTriggerIsArmedThroughTheServicesArgument) {
  platform::Scenario scenario;
  scenario.triggerInstalls = 0;
  Booted rig(scenario);
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  // The entry's NotifyPpi goes through the pointer it is handed, whose
  // NotifyPpi fails: that status comes back unchanged. RegisterForShadow
  // is still reached through the pointer below the IDT, not the argument.
  OwnServices own(rig, 0x80000009); // EFI_OUT_OF_RESOURCES
  const std::size_t armedBefore = rig.foundation().notifications().size();
  EXPECT_EQ(rig.foundation().dispatch(
                "ModuleEntry (own services)",
                pei::GuestCallback{rig.platform().shadow()->entry},
                own.servicesPointer),
            pei::EfiStatus{0x80000009});
  ASSERT_EQ(own.notified.size(), 1u);
  EXPECT_EQ(own.notified[0].first, own.servicesPointer);
  EXPECT_EQ(rig.machine().read32(own.notified[0].second), 0x80000020u);
  EXPECT_EQ(own.registrations, 0u);
  EXPECT_EQ(rig.foundation().notifications().size(), armedBefore);
}

TEST(Dispatch, ARegisterForShadowErrorIsReturnedAndNothingIsArmed) {
  platform::Scenario scenario;
  scenario.triggerInstalls = 0;
  Booted rig(scenario);
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  const std::size_t armedBefore = rig.foundation().notifications().size();
  const std::size_t mark = rig.mark();
  // A file handle the Foundation does not know: EFI_NOT_FOUND.
  EXPECT_EQ(rig.machine().call(
                "ModuleEntry (unknown file)", rig.platform().shadow()->entry,
                {0x00001234, rig.foundation().servicesPointer()}),
            efi::kNotFound);
  EXPECT_THAT(rig.services(mark),
              ElementsAre(AllOf(HasSubstr("RegisterForShadow(file=0x00001234"),
                                HasSubstr("EFI_NOT_FOUND"))));
  EXPECT_EQ(rig.foundation().notifications().size(), armedBefore);
}

TEST(Dispatch, ServicesAreReadFromBelowTheIdtOnEveryCall) {
  platform::Scenario scenario;
  scenario.triggerInstalls = 0;
  scenario.deviceSelectedInstalls = 0;
  Booted rig(scenario);
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  // The callbacks read none of their parameters: called with all three
  // null, they reach the Foundation through the pointer below the IDT,
  // which moves between the two calls.
  const std::uint32_t first = rig.foundation().moveServices();
  const auto trigger = armedOn(rig.foundation(), efi::guids::kTriggerPpi);
  ASSERT_TRUE(trigger);
  std::size_t mark = rig.mark();
  EXPECT_EQ(rig.machine().call("OnTrigger (null arguments)",
                               trigger->callback.entry, {0, 0, 0}),
            efi::kSuccess);
  for (const auto &text : rig.services(mark)) {
    if (!text.starts_with("GetVariable")) {
      EXPECT_THAT(text, HasSubstr("services=" + common::hex(first, 8)));
    }
  }
  EXPECT_EQ(rig.transportInstalls(), 1u);

  const std::uint32_t second = rig.foundation().moveServices();
  const auto selected =
      armedOn(rig.foundation(), efi::guids::kTpmDeviceSelectedPpi);
  ASSERT_TRUE(selected);
  mark = rig.mark();
  EXPECT_EQ(rig.machine().call("OnDeviceSelected (null arguments)",
                               selected->callback.entry, {0, 0, 0}),
            efi::kSuccess);
  EXPECT_THAT(
      rig.services(mark),
      ElementsAre(HasSubstr("LocatePpi(services=" + common::hex(second, 8) +
                            ", PcdPpi"),
                  HasSubstr("SetPtr(token 11, size 16) = EFI_SUCCESS")));
  EXPECT_EQ(rig.platform().pcd().token11(), instanceBytes());
}

TEST(Dispatch, LookupsAskForInstanceZeroAndNoDescriptor) {
  platform::Scenario scenario;
  scenario.triggerInstalls = 0;
  scenario.deviceSelectedInstalls = 0;
  Booted rig(scenario);
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  // A LocatePpi that records what it is asked and finds nothing: the
  // variable service and then the PCD service are looked up.
  struct Lookup {
    std::uint32_t instance, descriptorOut, interfaceOut;
  };
  std::vector<Lookup> lookups;
  const std::uint32_t locate =
      rig.machine().addThunk("recording LocatePpi", [&](machine::ThunkCall &c) {
        lookups.push_back({c.argument(2), c.argument(3), c.argument(4)});
        return efi::kNotFound;
      });
  rig.machine().write32(rig.machine().idtBase() - 4,
                        servicesWith(rig, {{kLocatePpi, locate}}));
  const auto trigger = armedOn(rig.foundation(), efi::guids::kTriggerPpi);
  ASSERT_TRUE(trigger);
  rig.machine().call("OnTrigger", trigger->callback.entry, {0, 0, 0});
  const auto selected =
      armedOn(rig.foundation(), efi::guids::kTpmDeviceSelectedPpi);
  ASSERT_TRUE(selected);
  rig.machine().call("OnDeviceSelected", selected->callback.entry, {0, 0, 0});
  ASSERT_EQ(lookups.size(), 2u);
  for (const Lookup &lookup : lookups) {
    EXPECT_EQ(lookup.instance, 0u);
    EXPECT_EQ(lookup.descriptorOut, 0u);
    EXPECT_NE(lookup.interfaceOut, 0u);
  }
}

// --- activation from "Setup" -------------------------------------------------

// The configuration accesses and the publishing services of the activation,
// in order.
std::vector<std::string> probeAndPublish(const Booted &rig) {
  std::vector<std::string> order;
  for (const auto &e : rig.during("notification TriggerPpi")) {
    if (e.from(devices::kPciConfigTrace)) {
      order.push_back((e.write ? "write " : "read ") +
                      common::hex(e.address, 5));
    } else if (e.kind == TraceEvent::Kind::Service &&
               !e.detail().starts_with("LocatePpi") &&
               !e.detail().starts_with("GetVariable")) {
      order.push_back(e.detail().substr(0, e.detail().find('(')));
    }
  }
  return order;
}
const std::vector<std::string> kProbeThenPublish = {
    "write 0x000B8", "read 0x000BC", "read 0x40048",
    "read 0x40020",  "InstallPpi",   "NotifyPpi"};

struct Activation {
  std::string name;
  platform::Scenario scenario;
  bool publishes;
};

std::vector<Activation> activations() {
  auto with = [](std::optional<std::vector<std::uint8_t>> setup) {
    return scenarioWithSetup(std::move(setup));
  };
  platform::Scenario noService;
  noService.variablePpi = false;
  return {
      {"DeviceSelect 2", with(setupBytes(1024, 2, 0)), true},
      {"DeviceSelect 2, SelectOverride 1", with(setupBytes(1024, 2, 1)), false},
      {"DeviceSelect 2, SelectOverride 0x80", with(setupBytes(1024, 2, 0x80)),
       false},
      {"DeviceSelect 0", with(setupBytes(1024, 0, 0)), false},
      {"DeviceSelect 1", with(setupBytes(1024, 1, 0)), false},
      {"DeviceSelect 3", with(setupBytes(1024, 3, 0)), false},
      {"DeviceSelect 0x82", with(setupBytes(1024, 0x82, 0)), false},
      {"633 bytes, DeviceSelect 2", with(setupBytes(633, 2, 0)), true},
      {"459 bytes, DeviceSelect 2, SelectOverride 1",
       with(setupBytes(459, 2, 1)), false},
      {"no variable", with(std::nullopt), true},
      {"no variable service", noService, true},
      {"1025 bytes, DeviceSelect 0", with(setupBytes(1025, 0, 0)), true},
      {"4096 bytes, DeviceSelect 2, SelectOverride 1",
       with(setupBytes(4096, 2, 1)), true},
  };
}

TEST(Activation, SetupDecidesAndEveryReadFailureConsents) {
  for (const Activation &a : activations()) {
    SCOPED_TRACE(a.name);
    Booted rig(a.scenario);
    EXPECT_TRUE(rig.report().ok) << rig.report().fault;
    EXPECT_EQ(rig.transportInstalls(), a.publishes ? 1u : 0u);
    EXPECT_EQ(armedOn(rig.foundation(), efi::guids::kTpmDeviceSelectedPpi)
                  .has_value(),
              a.publishes);
    const auto trigger = rig.during("notification TriggerPpi");
    const auto texts = serviceTexts(trigger);
    if (a.scenario.variablePpi) {
      // The variable is asked for by name and vendor with a 1024-byte
      // buffer.
      ASSERT_GE(texts.size(), 2u);
      EXPECT_THAT(texts[0], HasSubstr("ReadOnlyVariable2Ppi, instance 0"));
      EXPECT_THAT(texts[1],
                  StartsWith("GetVariable(\"Setup\", SetupVariable, DataSize "
                             "1024)"));
    } else {
      ASSERT_GE(texts.size(), 1u);
      EXPECT_THAT(texts[0], HasSubstr("EFI_NOT_FOUND"));
    }
    if (a.publishes) {
      // Whatever made it publish, the probe comes first.
      EXPECT_THAT(probeAndPublish(rig), ElementsAreArray(kProbeThenPublish));
    } else {
      // A declined activation touches no hardware and installs nothing.
      EXPECT_THAT(hardware(trigger), IsEmpty());
      EXPECT_EQ(texts.size(), 2u);
    }
  }
}

TEST(Activation, APublishedOneProbesBeforeItInstalls) {
  Booted rig;
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  EXPECT_THAT(probeAndPublish(rig), ElementsAreArray(kProbeThenPublish));
  // The index register was given the presence index.
  const auto writes = rig.during("notification TriggerPpi");
  const auto index =
      std::find_if(writes.begin(), writes.end(), [](const TraceEvent &e) {
        return e.from(devices::kPciConfigTrace) && e.write;
      });
  ASSERT_NE(index, writes.end());
  EXPECT_EQ(index->value, 0xC0018000u);
  EXPECT_EQ(rig.chipset().rootComplex().index(), 0xC0018000u);
}

TEST(Activation, FailingInstallAndNotifyAreIgnored) {
  platform::Scenario scenario;
  scenario.triggerInstalls = 0;
  Booted rig(scenario);
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  // A services table below the IDT whose InstallPpi and NotifyPpi fail.
  std::vector<std::string> calls;
  const std::uint32_t install =
      rig.machine().addThunk("failing InstallPpi", [&](auto &) {
        calls.push_back("InstallPpi");
        return 0x80000009u; // EFI_OUT_OF_RESOURCES
      });
  const std::uint32_t notify =
      rig.machine().addThunk("failing NotifyPpi", [&](auto &) {
        calls.push_back("NotifyPpi");
        return efi::kInvalidParameter;
      });
  const std::uint32_t pointer =
      servicesWith(rig, {{kInstallPpi, install}, {kNotifyPpi, notify}});
  rig.machine().write32(rig.machine().idtBase() - 4, pointer);
  rig.foundation().installPpi(efi::guids::kTriggerPpi,
                              pei::GuestAddress{rig.foundation().allocate(
                                  std::vector<std::uint8_t>(4, 0))});
  EXPECT_THAT(calls, ElementsAre("InstallPpi", "NotifyPpi"));
  ASSERT_FALSE(rig.foundation().fired().empty());
  EXPECT_EQ(rig.foundation().fired().back().status,
            pei::EfiStatus{efi::kSuccess});
}

TEST(Activation, ReadSetupVariableRefusesANullDestination) {
  Routines rig;
  EXPECT_EQ(rig.call("?ReadSetupVariable@@YAIPAE@Z", {0}),
            efi::kInvalidParameter);
}

TEST(Activation, TwoTriggersPublishTwice) {
  platform::Scenario scenario;
  scenario.triggerInstalls = 2;
  Booted rig(scenario);
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  EXPECT_EQ(rig.transportInstalls(), 2u);
}

// --- the announcement into token 11 ------------------------------------------

TEST(Announcement, OnceForEachInstallationOfTheDeviceSelectedPpi) {
  for (unsigned installs : {0u, 1u, 2u}) {
    SCOPED_TRACE(std::to_string(installs) + " installations");
    platform::Scenario scenario;
    scenario.deviceSelectedInstalls = installs;
    Booted rig(scenario);
    ASSERT_TRUE(rig.report().ok) << rig.report().fault;
    EXPECT_EQ(rig.platform().pcd().token11Writes(), installs);
    if (installs > 0) {
      EXPECT_EQ(rig.platform().pcd().token11(), instanceBytes());
    }
  }
}

TEST(Announcement, NotArmedWhenTheTransportIsDeclined) {
  Booted rig(scenarioWithSetup(setupBytes(1024, 1, 0)));
  ASSERT_TRUE(rig.report().ok) << rig.report().fault;
  EXPECT_EQ(rig.platform().pcd().token11Writes(), 0u);
  EXPECT_FALSE(armedOn(rig.foundation(), efi::guids::kTpmDeviceSelectedPpi));
}

TEST(Announcement, AFailingSetPtrDoesNotChangeWhatTheCallbackReports) {
  const struct {
    const char *name;
    pei::PcdConfig pcd;
    const char *answer;
  } cases[] = {
      {"size kept", {16, efi::kDeviceError}, "EFI_DEVICE_ERROR"},
      {"size shrunk", {8, std::nullopt}, "size set to the maximum 8"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    platform::Scenario scenario;
    scenario.pcd = c.pcd;
    Booted rig(scenario);
    ASSERT_TRUE(rig.report().ok) << rig.report().fault;
    EXPECT_THAT(serviceTexts(rig.during("notification TpmDeviceSelectedPpi")),
                ElementsAre(HasSubstr("PcdPpi"), HasSubstr(c.answer)));
    EXPECT_EQ(rig.foundation().fired().back().status,
              pei::EfiStatus{efi::kSuccess});
    EXPECT_FALSE(rig.platform().pcd().token11());
  }
}

// SetConfigPointer's answer, which the callback drops, seen by calling it in
// the test image with a PCD service behind it. The lookup of that service
// may also fail yet leave the service's interface behind, or succeed with a
// null interface: either way nothing is called through it, and the answer
// is null.
TEST(Announcement, SetConfigPointerAnswersTheBufferUnlessNotFoundOrShrunk) {
  const std::string name = "?SetConfigPointer@@YAPAXIPAIPBX@Z";
  ASSERT_TRUE(testMap().contains(name));
  enum class Lookup { Found, FailsLeavingTheInterface, FindsANullInterface };
  const struct {
    pei::PcdConfig pcd;
    std::uint32_t size;
    bool buffer;
    Lookup lookup = Lookup::Found;
  } cases[] = {
      {{16, std::nullopt}, 16, true},      // stored
      {{16, efi::kDeviceError}, 16, true}, // failed, size kept
      {{8, std::nullopt}, 16, false},      // failed, size shrunk to 8
      {{16, std::nullopt}, 17, false},     // shrunk to 16, below 17
      {{16, efi::kDeviceError}, 0, true},  // failed, 0 is not below 0
      {{16, std::nullopt}, 16, false, Lookup::FailsLeavingTheInterface},
      {{16, std::nullopt}, 16, false, Lookup::FindsANullInterface},
  };
  for (const auto &c : cases) {
    const bool fails = c.lookup == Lookup::FailsLeavingTheInterface;
    SCOPED_TRACE("max " + std::to_string(c.pcd.token11MaxSize) + ", size " +
                 std::to_string(c.size) + ", lookup " +
                 (c.lookup == Lookup::Found ? "found"
                  : fails                   ? "fails leaving the interface"
                                            : "finds a null interface"));
    Routines rig;
    pei::Foundation foundation(rig.machine());
    pei::PcdService pcd(foundation, c.pcd);
    foundation.installPpi(efi::guids::kPcdPpi, pcd.ppi());
    if (c.lookup != Lookup::Found) {
      const std::uint32_t locate = rig.machine().addThunk(
          "LocatePpi of the test", [fails, &pcd](machine::ThunkCall &call) {
            call.machine().guestWrite32(call.argument(4),
                                        fails ? pcd.ppi().value : 0,
                                        "LocatePpi's interface out-parameter");
            return fails ? efi::kNotFound : efi::kSuccess;
          });
      rig.machine().write32(foundation.servicesTable() + kLocatePpi, locate);
    }
    constexpr std::uint32_t kSize = Routines::kBuffers, kBuffer = kSize + 16;
    rig.machine().write32(kSize, c.size);
    const std::uint32_t answer = rig.call(name, {11, kSize, kBuffer});
    EXPECT_EQ(answer, c.buffer ? kBuffer : 0u);
    if (c.lookup != Lookup::Found) {
      EXPECT_EQ(pcd.token11Writes(), 0u);
    }
  }
}

} // namespace
} // namespace conformance
