// How boot ends on SIGINT or SIGTERM: at once (the guest may be in a long
// loop, or the platform waiting for GDB to connect), with status 128 +
// the signal as a shell reports it, and without leaving its temporary
// directories (the TPM state's, the GDB stub's symbol files) behind.
#pragma once

#include "file_descriptor.h"

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace cli {

// While it lives, SIGINT and SIGTERM remove the `temporaries` (empty paths
// skipped),
// say "<command>: stopped by SIG..." on stderr and end the process with
// status 128 + signal. The handler only writes the signal's number to a
// pipe; a thread of its own does the rest, outside signal context.
class ExitOnSignals {
public:
  ExitOnSignals(std::string command,
                std::vector<std::filesystem::path> temporaries);
  ~ExitOnSignals();
  ExitOnSignals(const ExitOnSignals &) = delete;
  ExitOnSignals &operator=(const ExitOnSignals &) = delete;

private:
  void watch();

  std::string command_;
  std::vector<std::filesystem::path> temporaries_;
  common::FileDescriptor readEnd_;
  common::FileDescriptor writeEnd_;
  std::thread watcher_;
};

} // namespace cli
