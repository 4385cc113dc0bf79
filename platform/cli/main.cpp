// pei-platform: the emulated PEI platform that runs the shipped module.
#include "commands.h"
#include "launch.h"

#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace {

struct Subcommand {
  const char *name;
  const char *summary;
  int (*run)(std::span<const std::string> args);
};

// One line per subcommand.
const Subcommand kSubcommands[] = {
    {"boot", "boot a module image through PEI and drive a TPM session",
     cli::runBoot},
    {"serve",
     "serve a TPM simulator endpoint (mssim, swtpm) through the module",
     cli::runServe},
    {"run", "dispatch every PEI module of flash images, volumes and images",
     cli::runRun},
};

void usage(std::ostream &out) {
  out << "usage: " << cli::kProgram << " <command> [arguments]\n\n"
      << "Runs the TPM transport PEI module's image (PE32, TE or FFS) in an "
         "emulated IA-32\nPEI platform with a TPM 2.0 (libtpms) behind its "
         "co-processor.\n\n"
      << "commands:\n";
  for (const Subcommand &command : kSubcommands) {
    std::string name = command.name;
    name.resize(10, ' ');
    out << "  " << name << command.summary << "\n";
  }
  out << "\n'" << cli::kProgram
      << " <command> --help' documents each command's options.\n\n"
      << "exit status: 0 on success; 1 for a failure while running; 2 for a "
         "bad command\nline or a bad input file, refused before the run (each "
         "command's --help says\nwhich); boot ended by SIGINT or SIGTERM: 128 "
         "+ the signal.\n";
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    usage(std::cerr);
    return cli::kExitUsage;
  }
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    usage(std::cout);
    return cli::kExitOk;
  }
  const std::vector<std::string> args(argv + 2, argv + argc);
  for (const Subcommand &subcommand : kSubcommands) {
    if (command == subcommand.name) {
      return cli::exitStatus(std::string(cli::kProgram) + " " + command,
                             [&] { return subcommand.run(args); });
    }
  }
  std::cerr << cli::kProgram << ": unknown command \"" << command
            << "\"; expected one of:";
  for (const Subcommand &subcommand : kSubcommands) {
    std::cerr << " " << subcommand.name;
  }
  std::cerr << "\n";
  return cli::kExitUsage;
}
