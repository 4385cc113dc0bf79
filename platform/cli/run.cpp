// pei-platform run: every PEI module of the inputs, dispatched as the PI PEI
// Foundation dispatches them, with a report of what each one did.
#include "bench.h"
#include "bench_debug.h"
#include "commands.h"
#include "files.h"
#include "instruments.h"
#include "launch.h"
#include "number.h"
#include "registers_file.h"
#include "report.h"
#include "scenario.h"
#include "signal_exit.h"
#include "state_directory.h"
#include "tcp_socket.h"
#include "tpm_engine.h"
#include "tpm_session.h"
#include "trace_json.h"
#include "transport_tcti.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>

namespace cli {

namespace {

void runHelp(std::ostream &out) {
  out << "usage: " << kProgram << " run INPUT... [options]\n\n"
      << "Dispatches every PEI module found in the inputs as the PI PEI "
         "Foundation does,\non the emulated IA-32 platform (chipset, "
         "co-processor and a TPM 2.0 behind it).\nAn INPUT is a flash image "
         "or firmware volume (placed at the top of 4 GiB, the\nlast one "
         "given ending there), an FFS file, or a PE32 or TE image. Every "
         "volume\nis found, nested ones too (FV-image sections, LZMA "
         "GUID-defined sections);\nvolumes found inside others are copied to "
         "where their images are linked to\nrun, and images that cannot run "
         "where they lie are relocated.\n\n"
      << "The apriori file's modules are dispatched first, then passes over "
         "the rest, each\nmodule once its dependency expression holds, until "
         "a pass dispatches nothing.\nIf no module installs permanent memory "
         "before then, the bench installs it and\nsays so. Modules that "
         "register for shadowing run again from a copy in\npermanent memory. "
         "The run ends at the DXE IPL PPI (DXE is not run), at a\nreset, or "
         "when nothing more can be dispatched.\n\n"
      << "Accesses to hardware that no device models are recorded with the "
         "module and\ninstruction that made them and answered (all ones; MSRs "
         "0); bytes written to\nport 0x402 or the serial port 0x3F8 are the "
         "module's debug output. A module\nthat faults or runs past a bound is "
         "reported, and the run goes on.\n\n"
      << "options:\n"
      << "  --vars FILE\n      A variable store volume, placed just below the "
         "flash images (for a flash\n      part split in two, such as "
         "OVMF32_VARS_4M.fd below OVMF32_CODE_4M.fd).\n"
      << "  --memory SIZE\n      Permanent memory the bench installs when no "
         "module does, in bytes or with\n      a K or M suffix (default 64M; "
         "1M to 1024M).\n"
      << "  --max-instructions N\n      Instruction bound of each module's "
         "entry (default 200000000; 0: none).\n"
      << "  --timeout-ms N\n      Time bound of each module's entry in "
         "milliseconds (default 30000).\n"
      << "  --registers FILE\n      Answers for registers no device models, "
         "one per line:\n      \"port|mmio|msr ADDRESS WIDTH "
         "VALUE[,VALUE...]\" (values in turn, the\n      last for good; '#' "
         "starts a comment).\n"
      << "  --report FILE\n      Write the report as JSON: each module's "
         "GUID, UI name, volume, address,\n      dispatch order, entry status, "
         "how it ended, PPIs installed, services\n      called and unmodelled "
         "accesses; the HOB list and the PPI database.\n"
      << "  --trace\n      Print every port, MSR and register access and "
         "every service call, in order.\n"
      << "  --trace-json FILE\n      Write the same record in the Chrome "
         "trace event format.\n"
      << "  --gdb PORT\n      Wait for GDB (gdb-multiarch) on 127.0.0.1:PORT "
         "(0: any free port, said\n      on stdout) before the first guest "
         "instruction. Every image is a library at\n      its address (\"info "
         "sharedlibrary\"): with the symbols of the companion --symbols\n"
         "      names for it, else one symbol naming the module.\n"
      << "  --coverage FILE\n      Write the lines the modules with a "
         "companion ran as an lcov tracefile,\n      and the blocks every "
         "other "
         "module ran to FILE.blocks.\n"
      << "  --symbols NAME=FILE\n      The debug companion (a PE32 with DWARF) "
         "of the module whose UI name or\n      file GUID is NAME; repeat for "
         "several. Needs --gdb or --coverage.\n"
      << "  --help\n      This text.\n\n"
      << "exit status: 0 when every dispatched module returned and the run "
         "reached the\nDXE IPL PPI; 1 when a module faulted, ran past a bound, "
         "asked for a reset or\nwas never dispatchable, or the run ended "
         "without the DXE IPL PPI; 2 for a bad\ncommand line or a bad input "
         "file (a missing, malformed or oversized input, an\noutput that "
         "cannot be written or is one of the inputs), refused before the run\n"
         "with a one-line error.\n";
}

constexpr const char *kOptions[] = {
    "--vars",       "--memory",     "--max-instructions",
    "--timeout-ms", "--registers",  "--report",
    "--trace",      "--trace-json", "--gdb",
    "--coverage",   "--symbols",    "--help"};

struct RunOptions {
  bench::BenchOptions bench;
  std::optional<std::filesystem::path> registers;
  std::optional<std::filesystem::path> report;
  std::optional<std::filesystem::path> traceJson;
  bool trace = false;
  bench::DebugSettings debug;
};

std::uint64_t parseMemory(const std::string &text) {
  std::string digits = text;
  std::uint64_t unit = 1;
  if (!digits.empty() && (digits.back() == 'M' || digits.back() == 'm')) {
    unit = 1ull << 20;
    digits.pop_back();
  } else if (!digits.empty() &&
             (digits.back() == 'K' || digits.back() == 'k')) {
    unit = 1ull << 10;
    digits.pop_back();
  }
  const auto value = common::numberAtMost(digits, (1ull << 30) / unit,
                                          common::Radix::DecimalOrHex);
  if (!value || *value * unit < (1ull << 20) || (*value * unit) % 4096 != 0) {
    throw common::badValue("--memory",
                           "a size from 1M to 1024M in whole 4 KiB pages",
                           common::inQuotes(text));
  }
  return *value * unit;
}

// False for --help.
bool readOptions(std::span<const std::string> args, RunOptions &options) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string &arg = args[i];
    if (arg == "--help" || arg == "-h") {
      return false;
    }
    if (arg == "--trace") {
      options.trace = true;
      continue;
    }
    if (arg.starts_with("-")) {
      const auto scenario = platform::scenarioOptionNames();
      const bool own = std::find(std::begin(kOptions), std::end(kOptions),
                                 arg) != std::end(kOptions);
      if (!own &&
          std::find(scenario.begin(), scenario.end(), arg) != scenario.end()) {
        throw common::UsageError(
            arg +
            ": has no effect with run: the modules of the inputs are "
            "the platform's services there (\"Setup\" comes from the "
            "variable store given with --vars, configuration tokens "
            "from the volume's PCD module); see '" +
            std::string(kProgram) + " run --help'");
      }
      if (std::find(std::begin(kOptions), std::end(kOptions), arg) ==
          std::end(kOptions)) {
        throw common::UsageError("unknown option " + common::inQuotes(arg) +
                                 "; see '" + std::string(kProgram) +
                                 " run --help'");
      }
      if (i + 1 >= args.size()) {
        throw common::missingValue(arg, "a value");
      }
      const std::string &value = args[++i];
      if (value.empty()) {
        throw common::badValue(arg, "a value", "\"\"");
      }
      if (arg == "--vars") {
        options.bench.vars = value;
      } else if (arg == "--memory") {
        options.bench.memorySize = parseMemory(value);
      } else if (arg == "--max-instructions") {
        options.bench.limits.instructions =
            common::parseNumber(value, ~0ull, "--max-instructions");
      } else if (arg == "--timeout-ms") {
        const auto ms =
            common::parseNumber(value, 24ull * 3600 * 1000, "--timeout-ms");
        if (ms == 0) {
          throw common::badValue("--timeout-ms", "at least 1",
                                 common::inQuotes(value));
        }
        options.bench.limits.time = std::chrono::milliseconds(ms);
      } else if (arg == "--registers") {
        options.registers = value;
      } else if (arg == "--report") {
        options.report = value;
      } else if (arg == "--trace-json") {
        options.traceJson = value;
      } else if (arg == "--gdb") {
        const auto port =
            common::numberAtMost(value, 65535, common::Radix::Decimal);
        if (!port) {
          throw common::badValue(arg, "a TCP port (0 to 65535)",
                                 common::inQuotes(value));
        }
        options.debug.gdbPort = static_cast<std::uint16_t>(*port);
      } else if (arg == "--coverage") {
        options.debug.coverage = value;
      } else if (arg == "--symbols") {
        const std::size_t equals = value.find('=');
        if (equals == 0 || equals == std::string::npos ||
            equals + 1 == value.size()) {
          throw common::badValue(arg,
                                 "NAME=FILE (a module's UI name or file GUID "
                                 "and its debug companion)",
                                 common::inQuotes(value));
        }
        options.debug.symbols[value.substr(0, equals)] =
            value.substr(equals + 1);
      }
      continue;
    }
    options.bench.inputs.emplace_back(arg);
  }
  if (options.bench.inputs.empty()) {
    throw common::UsageError("expected at least one INPUT (a flash image, "
                             "volume, FFS file or image), found none");
  }
  if (!options.debug.symbols.empty() && !options.debug.gdbPort &&
      !options.debug.coverage) {
    throw common::UsageError(
        "--symbols: has no effect without --gdb or --coverage");
  }
  return true;
}

// Every input and output checked before the run: inputs regular files,
// outputs writable and none of them an input or another output.
void checkRunFiles(const RunOptions &options) {
  std::vector<common::RunFile> inputs;
  for (const auto &input : options.bench.inputs) {
    inputs.push_back({"INPUT", input});
  }
  if (options.bench.vars) {
    inputs.push_back({"--vars", *options.bench.vars});
  }
  if (options.registers) {
    inputs.push_back({"--registers", *options.registers});
  }
  for (const auto &[name, companion] : options.debug.symbols) {
    inputs.push_back({"--symbols", companion});
  }
  std::vector<common::RunFile> outputs;
  if (options.report) {
    outputs.push_back({"--report", *options.report});
  }
  if (options.traceJson) {
    outputs.push_back({"--trace-json", *options.traceJson});
  }
  if (options.debug.coverage) {
    // An existing file must be an lcov tracefile, as boot has it.
    debug::checkDebugOptions(
        {std::nullopt, options.debug.coverage, std::nullopt});
    outputs.push_back({"--coverage", *options.debug.coverage});
    outputs.push_back(
        {"--coverage", options.debug.coverage->string() + ".blocks"});
  }
  for (const common::RunFile &input : inputs) {
    common::openRegularFile(input.path);
  }
  for (const common::RunFile &output : outputs) {
    common::checkWritable(output.role, output.path);
  }
  common::checkDistinct(inputs, outputs);
}

// A TPM session through the transport a module published, as boot drives
// one. False when it did not succeed.
bool driveTransport(bench::Bench &bench) {
  if (!bench.transportPublished()) {
    return true;
  }
  tpm::TransportTcti tcti([&bench](std::span<const std::uint8_t> command) {
    const bench::Bench::Exchange answer = bench.execute(command);
    return tpm::TransportResult{answer.efiStatus, answer.response};
  });
  std::cout << "TPM session through TpmTransportPpi.Execute:\n";
  std::vector<tpm::CommandRecord> records;
  std::string fault;
  try {
    records = tpm::runBootSession(tcti);
  } catch (const machine::GuestFault &error) {
    fault = error.what();
  }
  for (const tpm::CommandRecord &record : records) {
    std::cout << platform::describeRecord(record) << "\n";
  }
  const bool ok = fault.empty() && tpm::bootSessionSucceeded(records);
  std::cout << "TPM session: "
            << (!fault.empty() ? "stopped: " + fault
                : ok           ? std::string("every command succeeded")
                               : std::string("a command failed"))
            << "\n";
  return ok;
}

bool everyModuleReturned(const bench::RunReport &report) {
  for (const bench::PeimReport &peim : report.peims) {
    if (peim.outcome != bench::Outcome::Returned) {
      return false;
    }
  }
  return true;
}

} // namespace

std::vector<std::string> runOptionNames() {
  return {std::begin(kOptions), std::end(kOptions)};
}

int runRun(std::span<const std::string> args) {
  const std::string command = std::string(kProgram) + " run";
  RunOptions options;
  if (!readOptions(args, options)) {
    runHelp(std::cout);
    return kExitOk;
  }
  checkRunFiles(options);
  if (options.registers) {
    options.bench.registers = bench::readRegisters(*options.registers);
  }
  const platform::StateDirectory state{std::filesystem::path()};
  const ExitOnSignals signals(command, {state.path()});
  tpm::TpmEngine engine(state.path());
  options.bench.tpm = [&engine](std::span<const std::uint8_t> bytes) {
    return engine.process(bytes);
  };
  std::optional<bench::BenchDebug> debugging;
  try {
    debugging.emplace(options.debug, std::cout);
  } catch (const common::net::SocketError &error) {
    // A port in use: the run could not start (1), as for boot and serve.
    return failed(command, std::string("--gdb: ") + error.what());
  }
  debugging->prepare(options.bench);
  std::optional<bench::Bench> bench;
  try {
    bench.emplace(options.bench);
  } catch (const bench::InputError &error) {
    throw common::UsageError(error.what());
  } catch (const volume::FormatError &error) {
    throw common::UsageError(error.what());
  }
  std::optional<platform::TraceJson> json;
  if (options.traceJson) {
    openTraceJson([&] { json.emplace(*options.traceJson); });
  }
  engine.powerOn();
  std::cout << command;
  for (const auto &input : options.bench.inputs) {
    std::cout << " " << input.string();
  }
  std::cout << std::endl;
  debugging->attach(bench->machine());
  const bench::RunReport report = bench->run();
  for (const std::string &volume : report.volumes) {
    std::cout << "volume " << volume << "\n";
  }
  for (const std::string &line : report.log) {
    std::cout << line << "\n";
  }
  if (options.trace) {
    const bus::Trace &trace = bench->machine().trace();
    std::cout << "access trace (" << trace.events().size() << " events):\n";
    for (const std::string &line : trace.lines()) {
      std::cout << "  " << line << "\n";
    }
  }
  if (json) {
    // One track per module, the platform's own events on the first.
    json->setTracks([&](std::uint32_t address)
                        -> std::optional<platform::TraceJson::Track> {
      const auto module = bench->moduleOf(address);
      if (!module) {
        return std::nullopt;
      }
      return platform::TraceJson::Track{static_cast<int>(module->first) + 2,
                                        module->second};
    });
    json->append(bench->machine().trace());
    json.reset();
  }
  for (const std::string &line : bench::summary(report)) {
    std::cout << line << "\n";
  }
  const bool sessionOk = driveTransport(*bench);
  bool written = true;
  if (options.report) {
    std::ofstream out(*options.report, std::ios::binary | std::ios::trunc);
    out << bench::reportJson(report);
    written = static_cast<bool>(out.flush());
    if (written) {
      std::cout << "report: " << options.report->string() << "\n";
    } else {
      // Still a failure of the run, after GDB and the coverage are told.
      failed(command,
             options.report->string() + ": the report could not be written");
    }
  }
  std::printf("run: %.3f s\n", report.seconds);
  const int status =
      report.dxeIpl && everyModuleReturned(report) && sessionOk && written
          ? kExitOk
          : kExitFailed;
  return debugging->finish(report, status) ? status : kExitFailed;
}

} // namespace cli
