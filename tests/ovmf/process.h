// Child processes for the boot test: started without a shell, always reaped,
// never left running when the test ends.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace test_process {

// A child running `args` (args[0] looked up in PATH) with stdout and stderr
// going to `output`. The destructor stops it if it still runs.
class Process {
public:
  Process(const std::vector<std::string> &args,
          const std::filesystem::path &output);
  Process(const Process &) = delete;
  Process &operator=(const Process &) = delete;
  ~Process();

  bool running();
  // Waits up to `graceSeconds` for the child to end by itself, then sends
  // SIGTERM, then SIGKILL; always reaps it. Returns its wait status.
  int stop(int graceSeconds = 10);

private:
  pid_t pid_ = -1;
  int status_ = 0;
};

// Sends SIGTERM to `pid` if it names a QEMU process (checked through /proc,
// so a stale PID file cannot stop anything else).
void stopPid(pid_t pid);

// Runs `args` in `directory` with a time limit and returns what it printed
// on stdout and stderr.
std::string capture(const std::vector<std::string> &args,
                    const std::filesystem::path &directory,
                    int timeoutSeconds = 120);

} // namespace test_process
