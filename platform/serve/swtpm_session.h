// Sessions on the two ports of the swtpm protocol: the data port, which
// carries raw TPM commands, and the control port, which carries the
// control channel's codes (init, locality, ...).
#pragma once

#include "session.h"

namespace serve {

class SwtpmDataSession final : public Session {
public:
  // The data port: raw TPM commands.
  static const PortKind kPort;
  using Session::Session;

private:
  void handleFrame(std::span<const std::uint8_t> frame) override;
};

class SwtpmControlSession final : public Session {
public:
  // The control port: a 32-bit code and its fixed input.
  static const PortKind kPort;
  using Session::Session;

private:
  void handleFrame(std::span<const std::uint8_t> frame) override;
};

} // namespace serve
