#include "serve_options.h"

#include <optional>

#include "number.h"

namespace serve {

namespace {

// A whole decimal number from 1 to `most`, or nothing.
std::optional<std::uint64_t> positive(const std::string &text,
                                      std::uint64_t most) {
  const auto value = common::numberAtMost(text, most, common::Radix::Decimal);
  return value == 0 ? std::nullopt : value;
}

std::uint16_t parsePort(const std::string &option, const std::string &text) {
  // Each protocol takes the port and the one after it.
  const auto value = positive(text, 65534);
  if (!value) {
    throw UsageError(option +
                     " expects a port number from 1 to 65534, found \"" + text +
                     "\"");
  }
  return static_cast<std::uint16_t>(*value);
}

// Whole seconds, from 1 to a day.
std::chrono::seconds parseSeconds(const std::string &option,
                                  const std::string &text) {
  constexpr unsigned kMaxSeconds = 86400;
  const auto value = positive(text, kMaxSeconds);
  if (!value) {
    throw UsageError(option + " expects whole seconds from 1 to " +
                     std::to_string(kMaxSeconds) + ", found \"" + text + "\"");
  }
  return std::chrono::seconds(*value);
}

// A count from 1 to `most`.
std::size_t parseCount(const std::string &option, const std::string &text,
                       std::size_t most) {
  const auto value = positive(text, most);
  if (!value) {
    throw UsageError(option + " expects a count from 1 to " +
                     std::to_string(most) + ", found \"" + text + "\"");
  }
  return static_cast<std::size_t>(*value);
}

} // namespace

namespace {

// The ports each protocol listens on, from --protocol, --port and
// --swtpm-port.
void assignPorts(ServerOptions &server, const std::string &protocol,
                 std::optional<std::uint16_t> port,
                 std::optional<std::uint16_t> swtpmPort) {
  server.mssim = protocol != "swtpm";
  server.swtpm = protocol != "mssim";
  if (swtpmPort && !server.swtpm) {
    throw UsageError("--swtpm-port needs --protocol swtpm or both");
  }
  const std::uint16_t first = port.value_or(kDefaultPort);
  if (server.mssim) {
    server.mssimCommandPort = first;
    server.mssimPlatformPort = static_cast<std::uint16_t>(first + 1);
  }
  if (!server.swtpm) {
    return;
  }
  // Alone, swtpm takes --port; beside mssim, the two ports after it.
  // Counted in unsigned, so that ports past the last one are refused
  // instead of wrapping round to 0 (any port) and 1.
  const unsigned data = swtpmPort      ? unsigned{*swtpmPort}
                        : server.mssim ? first + 2u
                                       : unsigned{first};
  if (data > 65534) {
    throw UsageError("the swtpm ports after --port " + std::to_string(first) +
                     " do not exist; give --swtpm-port");
  }
  server.swtpmDataPort = static_cast<std::uint16_t>(data);
  server.swtpmControlPort = static_cast<std::uint16_t>(data + 1);
  if (server.mssim &&
      (data == first || data == first + 1u || data + 1u == first)) {
    throw UsageError("--swtpm-port " + std::to_string(data) +
                     " overlaps the mssim ports " + std::to_string(first) +
                     " and " + std::to_string(first + 1));
  }
}

} // namespace

ServeOptions parseServeOptions(std::span<const std::string> args) {
  ServeOptions options;
  std::string protocol = "mssim";
  std::optional<std::uint16_t> port;
  std::optional<std::uint16_t> swtpmPort;

  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string &arg = args[i];
    const auto value = [&]() -> const std::string & {
      if (i + 1 >= args.size()) {
        throw UsageError(arg + " expects a value");
      }
      return args[++i];
    };
    if (arg == "--protocol") {
      protocol = value();
      if (protocol != "mssim" && protocol != "swtpm" && protocol != "both") {
        throw UsageError("--protocol expects mssim, swtpm or both, found \"" +
                         protocol + "\"");
      }
    } else if (arg == "--port") {
      port = parsePort(arg, value());
    } else if (arg == "--swtpm-port") {
      swtpmPort = parsePort(arg, value());
    } else if (arg == "--idle-timeout") {
      options.server.idleTimeout = parseSeconds(arg, value());
    } else if (arg == "--no-startup") {
      options.issueStartup = false;
    } else if (arg == "--verbose") {
      options.server.verbose = true;
    } else if (arg == "--trace") {
      options.trace = true;
    } else if (arg == "--trace-json") {
      options.traceJson = value();
      if (options.traceJson.empty()) {
        throw UsageError("--trace-json expects a file name, found \"\"");
      }
    } else if (arg == "--trace-json-commands") {
      options.traceJsonCommands =
          parseCount(arg, value(), kMaxTraceJsonCommands);
    } else if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else {
      options.scenarioArgs.push_back(arg);
    }
  }
  assignPorts(options.server, protocol, port, swtpmPort);
  return options;
}

const char *serveOptionsHelp() {
  return R"(Endpoint options:
  --protocol P     mssim (default), swtpm, or both
  --port N         first port, on 127.0.0.1 only (default 2321). mssim: TPM
                   commands on N, platform signals on N+1. swtpm: TPM
                   commands on N, control channel on N+1
  --swtpm-port N   with --protocol both: the swtpm ports N and N+1
                   (default: the two ports after the mssim ones)
  --idle-timeout S close a TPM connection that sends no command for S
                   seconds (default 10) while another client waits for the
                   TPM, so that an idle client cannot keep it from the others
  --no-startup     after each boot, leave TPM2_Startup to the client
                   (default: the firmware sends TPM2_Startup(CLEAR))
  --verbose        one line per connection, platform signal and command
  --trace          add the platform's record of every guest access
  --trace-json F   write the record of each boot and of the first commands
                   to F in the Chrome trace event format (Perfetto,
                   chrome://tracing)
  --trace-json-commands N
                   how many commands --trace-json records (default 1000)
)";
}

} // namespace serve
