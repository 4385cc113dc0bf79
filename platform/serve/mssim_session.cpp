#include "mssim_session.h"

#include <exception>

#include "tpm_header.h"

namespace serve {

const PortKind MssimCommandSession::kPort{"mssim command", "command", true,
                                          mssim::parseCommandPort};

void MssimCommandSession::handleFrame(std::span<const std::uint8_t> frame) {
  if (leadingCode(frame) == mssim::kSessionEnd) {
    close("session end", false);
    return;
  }
  // The locality byte (frame[4]) goes nowhere: the module's transport
  // has no notion of locality, and the firmware issues every command as
  // it comes.
  const auto response = runCommand(frame.subspan(mssim::kCommandHeaderSize));
  answer(mssim::commandAnswer(response));
}

const PortKind MssimPlatformSession::kPort{
    "mssim platform", "signal", false,
    [](std::span<const std::uint8_t> bytes, std::uint32_t) {
      return mssim::parsePlatformPort(bytes);
    }};

void MssimPlatformSession::handleFrame(std::span<const std::uint8_t> frame) {
  const std::uint32_t code = leadingCode(frame);
  if (code == mssim::kSessionEnd) {
    close("session end", false);
    return;
  }
  const bool wasOn = backend().isOn();
  try {
    switch (code) {
    case mssim::kPowerOn:
      backend().powerOn();
      break;
    case mssim::kPowerOff:
      backend().powerOff();
      break;
    case mssim::kReset:
      backend().reset();
      break;
    case mssim::kNvOn:
      backend().nvOn();
      break;
    default:
      break; // acknowledged, without effect on this platform
    }
  } catch (const std::exception &error) {
    log().line(prefix() + mssim::platformSignalName(code) +
               " failed: " + error.what());
    std::vector<std::uint8_t> failed;
    tpm::appendBe32(failed, 1);
    answer(failed);
    return;
  }
  std::string note;
  if (code == mssim::kPowerOn && wasOn) {
    note = " (already on, nothing changed)";
  }
  log().verboseLine(prefix() + mssim::platformSignalName(code) + note);
  answer(mssim::platformAnswer());
}

} // namespace serve
