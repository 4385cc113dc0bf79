// Line coverage of the module: which of its source lines the guest ran, in
// either copy (in place in flash or the relocated shadow), worked out from
// the translated blocks the machine ran and the line table of the debug
// companion, written as an lcov tracefile that later runs add to.
#pragma once

#include "machine.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace debug {

class CoverageError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// One row of a DWARF line table: from address on (to the next row of the
// same sequence) the code belongs to file:line.
struct LineRow {
  std::uint32_t address = 0;
  std::string file; // as the companion names it, relative to the source root
  unsigned line = 0;
  bool endSequence = false;
};

// The rows of every sequence, in order, read with llvm-dwarfdump. Throws
// CoverageError when the file has no line table or the tool cannot run.
std::vector<LineRow> readLineTable(const std::filesystem::path &companion);

// Counts per source file and line, as an lcov tracefile holds them.
using LineCounts = std::map<std::string, std::map<unsigned, std::uint64_t>>;

// Every line the table names, with the number of times the most-run block
// covering any of its code ran (0 for lines never run). `blocks` maps the
// link address of each block run to its size and run count.
LineCounts
linesRun(const std::vector<LineRow> &table,
         const std::map<std::uint32_t, std::pair<std::uint32_t, std::uint64_t>>
             &blocks);

// A routine the companion has code for (inlined-only ones have none): its
// source name and its first instruction's link address.
struct Routine {
  std::string name;
  std::uint32_t address = 0;
};
std::vector<Routine> readRoutines(const std::filesystem::path &companion);

// Per source file and routine name: the line it starts on and how often it
// was entered, as an lcov tracefile's function records hold them.
struct RoutineCount {
  unsigned line = 0;
  std::uint64_t runs = 0;
};
using RoutineCounts =
    std::map<std::string, std::map<std::string, RoutineCount>>;

// Each routine whose first instruction the table places, at that row's file
// and line, with the run count of the most-run block covering that
// instruction. Files are named as the table names them.
RoutineCounts routinesRun(
    const std::vector<Routine> &routines, const std::vector<LineRow> &table,
    const std::map<std::uint32_t, std::pair<std::uint32_t, std::uint64_t>>
        &blocks);

// Reads an lcov tracefile (SF, DA and end_of_record; other records are
// recomputed); throws CoverageError on lines it cannot read.
LineCounts readTracefile(const std::string &text);
// Its function records (FN, FNDA; the totals are recomputed).
RoutineCounts readRoutineRecords(const std::string &text);
std::string writeTracefile(const LineCounts &counts,
                           const RoutineCounts &routines = {});

// Records the blocks the guest runs inside the module's copies and, on
// save(), adds their lines to the tracefile at `output` (created when
// missing; locked while it is read and written, so concurrent runs add up).
class CoverageRecorder : public machine::DebugAgent {
public:
  // `sourceRoot` is what the companion's relative file names are relative
  // to; the tracefile names files by absolute path.
  CoverageRecorder(std::filesystem::path output,
                   std::filesystem::path companion,
                   std::filesystem::path sourceRoot);

  void block(std::uint32_t address, std::uint32_t size) override;
  void imageMapped(const std::string &name, std::uint32_t linkBase,
                   std::uint32_t base, std::uint32_t size) override;
  void imageRetired(std::uint32_t base) override;

  // Merges what was run into the output file. Throws CoverageError.
  void save();

  // By link address: size and run count of each block run.
  const std::map<std::uint32_t, std::pair<std::uint32_t, std::uint64_t>> &
  blocks() const {
    return blocks_;
  }

private:
  struct Copy {
    std::uint32_t linkBase;
    std::uint32_t size;
  };
  std::filesystem::path output_;
  std::filesystem::path companion_;
  std::filesystem::path sourceRoot_;
  std::map<std::uint32_t, Copy> copies_; // by base
  std::map<std::uint32_t, std::pair<std::uint32_t, std::uint64_t>> blocks_;
};

} // namespace debug
