#include "swtpm_session.h"

#include <exception>

#include "tpm_header.h"

namespace serve {

const PortKind SwtpmDataSession::kPort{"swtpm data", "command", true,
                                       swtpm::parseDataPort};

void SwtpmDataSession::handleFrame(std::span<const std::uint8_t> frame) {
  answer(runCommand(frame));
}

const PortKind SwtpmControlSession::kPort{
    "swtpm control", "control code", false,
    [](std::span<const std::uint8_t> bytes, std::uint32_t) {
      return swtpm::parseControlPort(bytes);
    }};

void SwtpmControlSession::handleFrame(std::span<const std::uint8_t> frame) {
  const std::uint32_t code = leadingCode(frame);
  const std::span<const std::uint8_t> input = frame.subspan(4);
  if (!swtpm::isKnownControlCode(code)) {
    answer(swtpm::controlAnswer(swtpm::kResultBadOrdinal));
    close("unknown control code " + tpm::hex32(code), true);
    return;
  }
  std::uint32_t result = swtpm::kResultSuccess;
  std::string note;
  try {
    switch (code) {
    case swtpm::kSetLocality:
      if (input[0] > swtpm::kMaxLocality) {
        result = swtpm::kResultBadLocality;
        note = " refused: locality " + std::to_string(input[0]);
      } else {
        // The transport has no notion of locality; every command reaches
        // the TPM at locality 0, as the firmware issues it.
        note = " " + std::to_string(input[0]);
      }
      break;
    case swtpm::kInit:
      note = " (flags " + tpm::hex32(tpm::readBe32(input, 0)) +
             "): platform reboot";
      if (backend().isOn()) {
        backend().reset();
      } else {
        backend().powerOn();
      }
      break;
    default:
      result = swtpm::kResultFail;
      note = " not supported by this platform";
      break;
    }
  } catch (const std::exception &error) {
    result = swtpm::kResultFail;
    note = std::string(" failed: ") + error.what();
  }
  const std::string line = prefix() + swtpm::controlName(code) + note;
  if (result == swtpm::kResultSuccess) {
    log().verboseLine(line);
  } else {
    log().line(line);
  }
  answer(swtpm::controlAnswer(result));
}

} // namespace serve
