// Sessions on the two ports of the mssim protocol: the command port, which
// carries TPM commands, and the platform port, which carries the signals a
// platform gives its TPM (power, reset, NV on).
#pragma once

#include "session.h"

namespace serve {

class MssimCommandSession final : public Session {
public:
  // The command port: TPM commands behind a 9-byte header.
  static const PortKind kPort;
  using Session::Session;

private:
  void handleFrame(std::span<const std::uint8_t> frame) override;
};

class MssimPlatformSession final : public Session {
public:
  // The platform port: bare 32-bit signal codes.
  static const PortKind kPort;
  using Session::Session;

private:
  void handleFrame(std::span<const std::uint8_t> frame) override;
};

} // namespace serve
