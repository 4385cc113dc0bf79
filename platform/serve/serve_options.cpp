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
    throw common::badValue(option, "a port number from 1 to 65534",
                           common::inQuotes(text));
  }
  return static_cast<std::uint16_t>(*value);
}

// Whole seconds, from 1 to a day.
std::chrono::seconds parseSeconds(const std::string &option,
                                  const std::string &text) {
  constexpr unsigned kMaxSeconds = 86400;
  const auto value = positive(text, kMaxSeconds);
  if (!value) {
    throw common::badValue(
        option, "whole seconds from 1 to " + std::to_string(kMaxSeconds),
        common::inQuotes(text));
  }
  return std::chrono::seconds(*value);
}

// A count from 1 to `most`.
std::size_t parseCount(const std::string &option, const std::string &text,
                       std::size_t most) {
  const auto value = positive(text, most);
  if (!value) {
    throw common::badValue(option, "a count from 1 to " + std::to_string(most),
                           common::inQuotes(text));
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
  // --swtpm-port moves the swtpm ports beside the mssim ones; alone, swtpm
  // takes --port, and a second way of naming its port would leave one of
  // them without effect.
  if (swtpmPort && protocol != "both") {
    throw UsageError("--swtpm-port: has no effect without --protocol both "
                     "(alone, swtpm listens on --port)");
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
    throw common::badValue("--port",
                           "room for the swtpm ports after the mssim "
                           "ones (or --swtpm-port)",
                           std::to_string(first));
  }
  server.swtpmDataPort = static_cast<std::uint16_t>(data);
  server.swtpmControlPort = static_cast<std::uint16_t>(data + 1);
  if (server.mssim &&
      (data == first || data == first + 1u || data + 1u == first)) {
    throw common::badValue("--swtpm-port",
                           "ports other than the mssim ports " +
                               std::to_string(first) + " and " +
                               std::to_string(first + 1),
                           std::to_string(data));
  }
}

} // namespace

namespace {

// What the options fill in, beside ServeOptions.
struct Reading {
  ServeOptions &options;
  std::string protocol = "mssim";
  std::optional<std::uint16_t> port;
  std::optional<std::uint16_t> swtpmPort;
  bool traceJsonCommands = false; // --trace-json-commands was given
};

struct Option {
  const char *name;
  bool takesValue;
  void (*apply)(Reading &, const std::string &name, const std::string &value);
};

const Option kOptions[] = {
    {"--protocol", true,
     [](Reading &r, const std::string &name, const std::string &v) {
       if (v != "mssim" && v != "swtpm" && v != "both") {
         throw common::badValue(name, "mssim, swtpm or both",
                                common::inQuotes(v));
       }
       r.protocol = v;
     }},
    {"--port", true,
     [](Reading &r, const std::string &name, const std::string &v) {
       r.port = parsePort(name, v);
     }},
    {"--swtpm-port", true,
     [](Reading &r, const std::string &name, const std::string &v) {
       r.swtpmPort = parsePort(name, v);
     }},
    {"--idle-timeout", true,
     [](Reading &r, const std::string &name, const std::string &v) {
       r.options.server.idleTimeout = parseSeconds(name, v);
     }},
    {"--no-startup", false,
     [](Reading &r, const std::string &, const std::string &) {
       r.options.issueStartup = false;
     }},
    {"--verbose", false,
     [](Reading &r, const std::string &, const std::string &) {
       r.options.server.verbose = true;
     }},
    {"--trace", false,
     [](Reading &r, const std::string &, const std::string &) {
       r.options.trace = true;
     }},
    {"--trace-json", true,
     [](Reading &r, const std::string &name, const std::string &v) {
       if (v.empty()) {
         throw common::badValue(name, "a file name", "\"\"");
       }
       r.options.traceJson = v;
     }},
    {"--trace-json-commands", true,
     [](Reading &r, const std::string &name, const std::string &v) {
       r.options.traceJsonCommands = parseCount(name, v, kMaxTraceJsonCommands);
       r.traceJsonCommands = true;
     }},
    {"--help", false,
     [](Reading &r, const std::string &, const std::string &) {
       r.options.help = true;
     }},
};

const Option *findOption(const std::string &arg) {
  for (const Option &option : kOptions) {
    if (arg == option.name) {
      return &option;
    }
  }
  return nullptr;
}

} // namespace

ServeOptions parseServeOptions(std::span<const std::string> args) {
  ServeOptions options;
  Reading reading{options, "mssim", std::nullopt, std::nullopt, false};
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string &arg = args[i] == "-h" ? "--help" : args[i];
    const Option *option = findOption(arg);
    if (option == nullptr) {
      options.scenarioArgs.push_back(args[i]);
      continue;
    }
    if (option->takesValue && i + 1 >= args.size()) {
      throw common::missingValue(arg, "a value");
    }
    option->apply(reading, arg, option->takesValue ? args[++i] : "");
  }
  if (options.help) {
    return options;
  }
  if (reading.traceJsonCommands && options.traceJson.empty()) {
    throw UsageError("--trace-json-commands: has no effect without "
                     "--trace-json");
  }
  assignPorts(options.server, reading.protocol, reading.port,
              reading.swtpmPort);
  return options;
}

std::vector<std::string> serveOptionNames() {
  std::vector<std::string> names;
  for (const Option &option : kOptions) {
    names.emplace_back(option.name);
  }
  return names;
}

const char *serveOptionsHelp() {
  return R"(Endpoint options:
  --protocol P     mssim (default), swtpm, or both
  --port N         first port, on 127.0.0.1 only (default 2321). mssim: TPM
                   commands on N, platform signals on N+1. swtpm: TPM
                   commands on N, control channel on N+1
  --swtpm-port N   with --protocol both only: the swtpm ports N and N+1
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
