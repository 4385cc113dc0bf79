// A GDB remote stub for the emulated IA-32 processor: GDB (gdb-multiarch)
// connects over TCP on 127.0.0.1 and debugs the module's code as it runs in
// the machine, with the debug companion's symbols.
//
// The stub is a machine::DebugAgent: the machine calls it before every guest
// instruction, and it stops the guest by serving GDB right there, on the
// emulator's thread, until GDB resumes. Breakpoints are kept by the stub
// (nothing is ever written into the guest's code or flash), single steps
// stop at the next instruction, write watchpoints stop after the storing
// instruction, and a guest fault stops with a signal at the faulting
// instruction before the run ends with it.
//
// Each copy of the module (in place in flash, then the relocated shadow) is
// reported to GDB as a library at its address, with a stop whenever the list
// changes, so GDB's symbols follow the code; so is the platform's page of
// thunks, whose symbols name the PEI services and the platform's PPI
// functions in backtraces. The files GDB reads for them are written by the
// stub (see symbol_files.h) into a temporary directory of its own. Without
// a debug companion GDB debugs at instruction level, and is told so.
#pragma once

#include "machine.h"
#include "tcp_socket.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace debug {

// The module's symbols as GDB is given them.
struct ModuleSymbols {
  std::string stem;               // names the files GDB loads
  std::vector<std::uint8_t> file; // moduleSymbolFile() of the companion
};

// A directory of its own under the system's temporary directory, removed
// with everything in it when this object goes.
class ScratchDirectory {
public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory &) = delete;
  ScratchDirectory &operator=(const ScratchDirectory &) = delete;
  const std::filesystem::path &path() const { return path_; }

private:
  std::filesystem::path path_;
};

class GdbStub : public machine::DebugAgent {
public:
  // Listens on 127.0.0.1:port (0: a free port, see port()). `symbols` are
  // the module's, for each copy of it; none when there is no companion
  // (GDB then debugs at instruction level). Throws common::net::SocketError
  // when the port cannot be had.
  GdbStub(std::uint16_t port, std::optional<ModuleSymbols> symbols,
          std::ostream &log);
  ~GdbStub() override;
  GdbStub(const GdbStub &) = delete;
  GdbStub &operator=(const GdbStub &) = delete;

  std::uint16_t port() const { return listener_.port(); }
  // Where the files GDB reads are written.
  const std::filesystem::path &scratch() const { return scratch_.path(); }

  // Where the platform's symbol file starts: a little below the thunk page
  // (see refreshPlatformSymbols).
  static constexpr std::uint32_t kPlatformFileBase =
      machine::Machine::kThunkBase - 16;

  // Debugs this machine from now on (a platform that boots again brings a
  // new machine); the copies of the module reported so far are forgotten.
  void attach(machine::Machine &machine);
  void detach(machine::Machine &machine);
  // The run ended with this exit status: GDB is told and let go.
  void finished(int status);

  bool wantsInstructions() const override { return true; }
  void instruction(std::uint32_t address) override;
  void wrote(std::uint64_t address, unsigned size) override;
  std::vector<machine::AddressRange> watchedStores() const override;
  void faulted(const std::string &message) override;
  void returned() override;
  void imageMapped(const std::string &name, std::uint32_t linkBase,
                   std::uint32_t base, std::uint32_t size) override;
  void imageRetired(std::uint32_t base) override;

private:
  struct Watch {
    std::uint64_t address;
    std::uint64_t length;
  };
  enum class Resume { Continue, Step, Detach, Kill };

  // Waits for GDB to connect, then serves it until it resumes the guest.
  void connect();
  // Tells GDB why the guest stopped and serves it until it resumes.
  void stop(const std::string &reply);
  Resume serve();
  // Runs one packet; sets `resume` when the packet resumes the guest.
  std::string handle(const std::string &packet, std::optional<Resume> &resume);
  std::optional<std::string> command(char letter, const std::string &args,
                                     std::optional<Resume> &resume);
  std::string query(const std::string &packet, std::optional<Resume> &resume);
  std::string writeRegisters(const std::string &args);
  std::string writeRegister(const std::string &args);
  std::string readRegisters() const;
  std::string readRegister(unsigned n) const;
  std::string readMemory(const std::string &args) const;
  std::string writeMemory(const std::string &args);
  std::string breakpoint(const std::string &args, bool insert);
  std::string transfer(const std::string &args) const;
  std::string libraries() const;
  // Writes the platform's symbol file again when thunks were added since it
  // was written; true when it was (GDB must read the library list again).
  bool refreshPlatformSymbols();
  void sendConsole(const std::string &text);
  void checkAtStop(std::uint32_t address);
  bool interrupted();
  void disconnect();

  // Packet layer.
  std::optional<std::string> receivePacket();
  void sendPacket(const std::string &payload);
  bool receiveByte(std::uint8_t &byte);

  common::net::Listener listener_;
  common::net::Socket connection_;
  std::optional<ModuleSymbols> symbols_;
  std::ostream &log_;
  ScratchDirectory scratch_;
  std::filesystem::path platformFile_; // empty until written
  std::size_t platformThunks_ = 0;     // thunks it names
  // What GDB takes as the executable: the platform's symbol file as it was
  // when GDB connected (so GDB loads the libraries' symbols at once).
  std::filesystem::path executable_;
  bool noticeSent_ = false;       // "no symbols" told to GDB
  bool librariesChanged_ = false; // copies came or went, GDB not told
  machine::Machine *machine_ = nullptr;
  bool waited_ = false; // GDB connected once (or the wait was given up)
  bool noAck_ = false;  // QStartNoAckMode
  bool stepping_ = false;
  bool killed_ = false;
  std::optional<std::uint64_t> watchHit_;
  std::set<std::uint32_t> breakpoints_;
  std::vector<Watch> watches_;
  struct Copy {
    std::string name;
    std::filesystem::path file; // GDB's symbol file for this copy
  };
  std::map<std::uint32_t, Copy> copies_; // by base
  std::vector<std::uint8_t> pending_;    // bytes received, not used
  std::string lastStop_ = "S05";
  unsigned sinceInterruptCheck_ = 0;
};

} // namespace debug
