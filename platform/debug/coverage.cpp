#include "coverage.h"

#include "companion.h"
#include "file_descriptor.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>

#ifndef DWARFDUMP_PATH
#define DWARFDUMP_PATH "llvm-dwarfdump"
#endif

namespace debug {

namespace {

std::string run(const std::string &command) {
  std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(command.c_str(), "r"),
                                              pclose);
  if (!pipe) {
    throw CoverageError("cannot run " + command);
  }
  std::string output;
  char chunk[4096];
  while (std::size_t n = fread(chunk, 1, sizeof chunk, pipe.get())) {
    output.append(chunk, n);
  }
  return output;
}

std::string quoted(const std::filesystem::path &path) {
  std::string text = "'";
  for (char c : path.string()) {
    text += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return text + "'";
}

// Holds an advisory lock on a file for as long as it lives: closing the
// file releases the lock.
class FileLock {
public:
  explicit FileLock(const std::filesystem::path &path)
      : file_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
    if (!file_.valid() || ::flock(file_.get(), LOCK_EX) != 0) {
      throw CoverageError("cannot open and lock " + path.string());
    }
  }
  int fd() const { return file_.get(); }

private:
  common::FileDescriptor file_;
};

} // namespace

std::vector<LineRow> readLineTable(const std::filesystem::path &companion) {
  if (!std::filesystem::is_regular_file(companion)) {
    throw CoverageError("expected the debug companion at " +
                        companion.string() + ", found no such file");
  }
  const std::string dump = run(std::string(DWARFDUMP_PATH) + " --debug-line " +
                               quoted(companion) + " 2>/dev/null");
  // Each unit's prologue lists directories and files; its rows follow.
  static const std::regex directory(
      R"(^include_directories\[\s*(\d+)\] = \"(.*)\"$)");
  static const std::regex fileName(R"(^file_names\[\s*(\d+)\]:$)");
  static const std::regex nameField(R"(^\s+name: \"(.*)\"$)");
  static const std::regex dirField(R"(^\s+dir_index: (\d+)$)");
  static const std::regex row(
      R"(^0x([0-9a-f]+)\s+(\d+)\s+\d+\s+(\d+)\s+\d+\s+\d+\s*(.*)$)");
  std::vector<LineRow> rows;
  std::map<unsigned, std::string> directories;
  std::map<unsigned, std::pair<std::string, unsigned>> files;
  unsigned currentFile = 0;
  std::istringstream lines(dump);
  std::string text;
  std::smatch m;
  while (std::getline(lines, text)) {
    if (text.starts_with("debug_line[")) {
      directories.clear();
      files.clear();
    } else if (std::regex_match(text, m, directory)) {
      directories[std::stoul(m[1])] = m[2];
    } else if (std::regex_match(text, m, fileName)) {
      currentFile = static_cast<unsigned>(std::stoul(m[1]));
    } else if (std::regex_match(text, m, nameField)) {
      files[currentFile].first = m[1];
    } else if (std::regex_match(text, m, dirField)) {
      files[currentFile].second = static_cast<unsigned>(std::stoul(m[1]));
    } else if (std::regex_match(text, m, row)) {
      const auto &[name, dir] = files[static_cast<unsigned>(std::stoul(m[3]))];
      const std::string path =
          dir == 0 || !directories.contains(dir)
              ? name
              : (std::filesystem::path(directories[dir]) / name)
                    .lexically_normal()
                    .string();
      rows.push_back(
          {static_cast<std::uint32_t>(std::stoull(m[1], nullptr, 16)), path,
           static_cast<unsigned>(std::stoul(m[2])),
           m[4].str().find("end_sequence") != std::string::npos});
    }
  }
  if (rows.empty()) {
    throw CoverageError("expected a DWARF line table in " + companion.string() +
                        " (read with " DWARFDUMP_PATH "), found none");
  }
  return rows;
}

namespace {

using Blocks = std::map<std::uint32_t, std::pair<std::uint32_t, std::uint64_t>>;

// The run count of the most-run block with code in [begin, end): the last
// block starting at or before begin, and every block starting inside.
std::uint64_t runsCovering(const Blocks &blocks, std::uint32_t begin,
                           std::uint32_t end) {
  std::uint64_t count = 0;
  auto block = blocks.upper_bound(begin);
  if (block != blocks.begin()) {
    --block;
  }
  for (; block != blocks.end() && block->first < end; ++block) {
    const auto [size, runs] = block->second;
    if (block->first + size > begin) {
      count = std::max(count, runs);
    }
  }
  return count;
}

} // namespace

LineCounts linesRun(const std::vector<LineRow> &table, const Blocks &blocks) {
  LineCounts counts;
  for (std::size_t i = 0; i + 1 < table.size(); ++i) {
    const LineRow &row = table[i];
    if (row.endSequence || row.line == 0) {
      continue;
    }
    std::uint64_t &count = counts[row.file][row.line];
    count = std::max(count,
                     runsCovering(blocks, row.address, table[i + 1].address));
  }
  return counts;
}

std::vector<Routine> readRoutines(const std::filesystem::path &companion) {
  const std::string dump = run(std::string(DWARFDUMP_PATH) + " --debug-info " +
                               quoted(companion) + " 2>/dev/null");
  // Each subprogram's attributes follow its tag. A concrete one has a
  // low_pc, and its name either directly or on the declaration or abstract
  // instance it completes (named by that entry's offset).
  struct Entry {
    std::string name;
    std::optional<std::uint64_t> origin;
    std::optional<std::uint32_t> lowPc;
  };
  static const std::regex tag(R"(^0x([0-9a-f]+):\s+DW_TAG_(\w+))");
  static const std::regex lowPc(R"(^\s+DW_AT_low_pc\s+\(0x([0-9a-f]+)\)$)");
  static const std::regex name(R"(^\s+DW_AT_name\s+\(\"(.*)\"\)$)");
  static const std::regex origin(
      R"(^\s+DW_AT_(?:specification|abstract_origin)\s+\(0x([0-9a-f]+) )");
  std::map<std::uint64_t, Entry> entries;
  Entry *current = nullptr;
  std::istringstream lines(dump);
  std::string text;
  std::smatch m;
  while (std::getline(lines, text)) {
    if (std::regex_search(text, m, tag)) {
      current = m[2] == "subprogram" ? &entries[std::stoull(m[1], nullptr, 16)]
                                     : nullptr;
    } else if (current == nullptr) {
      continue;
    } else if (std::regex_match(text, m, lowPc)) {
      current->lowPc =
          static_cast<std::uint32_t>(std::stoull(m[1], nullptr, 16));
    } else if (std::regex_match(text, m, name)) {
      current->name = m[1];
    } else if (std::regex_search(text, m, origin)) {
      current->origin = std::stoull(m[1], nullptr, 16);
    }
  }
  std::vector<Routine> routines;
  for (const auto &[offset, entry] : entries) {
    const Entry *named = &entry;
    for (int hops = 0; named->name.empty() && named->origin && hops < 4;
         ++hops) {
      const auto found = entries.find(*named->origin);
      if (found == entries.end()) {
        break;
      }
      named = &found->second;
    }
    if (entry.lowPc && !named->name.empty()) {
      routines.push_back({named->name, *entry.lowPc});
    }
  }
  return routines;
}

RoutineCounts routinesRun(const std::vector<Routine> &routines,
                          const std::vector<LineRow> &table,
                          const Blocks &blocks) {
  std::map<std::uint32_t, const LineRow *> rows;
  for (const LineRow &row : table) {
    if (!row.endSequence && row.line != 0) {
      rows.try_emplace(row.address, &row);
    }
  }
  RoutineCounts counts;
  for (const Routine &routine : routines) {
    const auto row = rows.find(routine.address);
    if (row == rows.end()) {
      continue;
    }
    RoutineCount &count = counts[row->second->file][routine.name];
    count.line = row->second->line;
    count.runs = std::max(
        count.runs, runsCovering(blocks, routine.address, routine.address + 1));
  }
  return counts;
}

LineCounts readTracefile(const std::string &text) {
  LineCounts counts;
  std::istringstream lines(text);
  std::string line;
  std::string file;
  unsigned number = 0;
  while (std::getline(lines, line)) {
    if (line.starts_with("SF:")) {
      file = line.substr(3);
    } else if (line.starts_with("DA:")) {
      unsigned long long runs = 0;
      if (file.empty() ||
          std::sscanf(line.c_str(), "DA:%u,%llu", &number, &runs) != 2) {
        throw CoverageError("expected \"DA:<line>,<count>\" inside a "
                            "record, found \"" +
                            line + "\"");
      }
      counts[file][number] += runs;
    } else if (line == "end_of_record") {
      file.clear();
    }
  }
  return counts;
}

RoutineCounts readRoutineRecords(const std::string &text) {
  RoutineCounts counts;
  std::istringstream lines(text);
  std::string line;
  std::string file;
  while (std::getline(lines, line)) {
    const bool declares = line.starts_with("FN:");
    if (line.starts_with("SF:")) {
      file = line.substr(3);
    } else if (declares || line.starts_with("FNDA:")) {
      const std::size_t comma = line.find(',');
      unsigned long long number = 0;
      if (file.empty() || comma == std::string::npos ||
          std::sscanf(line.c_str(), declares ? "FN:%llu," : "FNDA:%llu,",
                      &number) != 1) {
        throw CoverageError("expected \"FN:<line>,<name>\" or "
                            "\"FNDA:<count>,<name>\" inside a record, found "
                            "\"" +
                            line + "\"");
      }
      RoutineCount &count = counts[file][line.substr(comma + 1)];
      if (declares) {
        count.line = static_cast<unsigned>(number);
      } else {
        count.runs += number;
      }
    } else if (line == "end_of_record") {
      file.clear();
    }
  }
  return counts;
}

std::string writeTracefile(const LineCounts &counts,
                           const RoutineCounts &routines) {
  std::string text;
  for (const auto &[file, lines] : counts) {
    text += "TN:\nSF:" + file + "\n";
    if (const auto found = routines.find(file); found != routines.end()) {
      std::size_t entered = 0;
      for (const auto &[name, count] : found->second) {
        text += "FN:" + std::to_string(count.line) + "," + name + "\n";
      }
      for (const auto &[name, count] : found->second) {
        text += "FNDA:" + std::to_string(count.runs) + "," + name + "\n";
        entered += count.runs != 0;
      }
      text += "FNF:" + std::to_string(found->second.size()) +
              "\nFNH:" + std::to_string(entered) + "\n";
    }
    std::size_t hit = 0;
    for (const auto &[number, runs] : lines) {
      text +=
          "DA:" + std::to_string(number) + "," + std::to_string(runs) + "\n";
      hit += runs != 0;
    }
    text += "LF:" + std::to_string(lines.size()) +
            "\nLH:" + std::to_string(hit) + "\nend_of_record\n";
  }
  return text;
}

CoverageRecorder::CoverageRecorder(std::filesystem::path output,
                                   std::filesystem::path companion,
                                   std::filesystem::path sourceRoot)
    : output_(std::move(output)), companion_(std::move(companion)),
      sourceRoot_(std::move(sourceRoot)) {}

void CoverageRecorder::block(std::uint32_t address, std::uint32_t size) {
  auto copy = copies_.upper_bound(address);
  if (copy == copies_.begin()) {
    return;
  }
  --copy;
  const std::uint32_t offset = address - copy->first;
  if (offset >= copy->second.size) {
    return;
  }
  auto &[known, runs] = blocks_[copy->second.linkBase + offset];
  known = std::max(known, size);
  ++runs;
}

void CoverageRecorder::imageMapped(const std::string &, std::uint32_t linkBase,
                                   std::uint32_t base, std::uint32_t size) {
  copies_[base] = {linkBase, size};
}

void CoverageRecorder::imageRetired(std::uint32_t base) { copies_.erase(base); }

void CoverageRecorder::save() {
  // Only sequences inside the companion's code count: the line table may
  // still describe routines the linker dropped, at addresses that mean
  // nothing.
  std::vector<LineRow> table;
  try {
    const auto [first, last] = codeRange(pei::PeImage::load(companion_));
    bool keep = false;
    bool starts = true;
    for (const LineRow &row : readLineTable(companion_)) {
      if (starts) {
        keep = row.address >= first && row.address < last;
      }
      if (keep) {
        table.push_back(row);
      }
      starts = row.endSequence;
    }
  } catch (const pei::PeError &error) {
    throw CoverageError(std::string("cannot read the debug companion: ") +
                        error.what());
  }
  LineCounts run = linesRun(table, blocks_);
  const RoutineCounts entered =
      routinesRun(readRoutines(companion_), table, blocks_);
  const FileLock lock(output_);
  std::string existing;
  char chunk[4096];
  ssize_t got = 0;
  while ((got = ::read(lock.fd(), chunk, sizeof chunk)) > 0) {
    existing.append(chunk, static_cast<std::size_t>(got));
  }
  LineCounts merged = readTracefile(existing);
  RoutineCounts routines = readRoutineRecords(existing);
  auto pathOf = [&](const std::string &file) {
    return (sourceRoot_ / file).lexically_normal().string();
  };
  for (const auto &[file, lines] : run) {
    for (const auto &[number, runs] : lines) {
      merged[pathOf(file)][number] += runs;
    }
  }
  for (const auto &[file, names] : entered) {
    for (const auto &[name, count] : names) {
      RoutineCount &total = routines[pathOf(file)][name];
      total.line = count.line;
      total.runs += count.runs;
    }
  }
  const std::string text = writeTracefile(merged, routines);
  if (::ftruncate(lock.fd(), 0) != 0 || ::lseek(lock.fd(), 0, SEEK_SET) != 0 ||
      ::write(lock.fd(), text.data(), text.size()) !=
          static_cast<ssize_t>(text.size())) {
    throw CoverageError("cannot write the tracefile " + output_.string());
  }
}

} // namespace debug
