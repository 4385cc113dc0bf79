// pei-vars: lists, reads, writes and deletes UEFI variables in an EDK II
// variable store file, such as the VARS image of a virtual machine's
// firmware.
#include "command_line.h"
#include "file_descriptor.h"
#include "files.h"
#include "hex.h"
#include "usage.h"
#include "variable_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using common::UsageError;
using vars_format::CommandLine;
using vars_format::VariableStore;
// A bad input file or store: one line, exit status 2.
using vars_format::VarsError;

// A file a run reads, whole: a regular file of at most kMaxFileSize bytes.
std::vector<std::uint8_t> readInput(const std::string &path,
                                    const std::string &expected) {
  std::vector<std::uint8_t> bytes;
  try {
    const common::FileDescriptor file = common::openRegularFile(path);
    bytes = common::readUpTo(file, vars_format::kMaxFileSize + 1, path);
  } catch (const UsageError &error) {
    const std::string what = error.what();
    throw VarsError(what.find("not a regular file") != std::string::npos
                        ? what + "; expected " + expected
                        : what);
  }
  if (bytes.size() > vars_format::kMaxFileSize) {
    throw VarsError(path + ": expected " + expected +
                    " of at most 64 MiB, found a larger file");
  }
  return bytes;
}

std::string errorText(int error) { return std::strerror(error); }

// Replaces `path` with `bytes`: written to a temporary file beside it (with
// the file's permissions), flushed, renamed over it and the directory
// flushed, so that a failure at any point leaves the old file whole and no
// temporary behind. A symbolic link is followed: its target is replaced. A
// character device (/dev/null, /dev/stdout) is written in place.
void replaceFile(const std::string &given,
                 std::span<const std::uint8_t> bytes) {
  struct stat info {};
  if (::stat(given.c_str(), &info) == 0 && S_ISCHR(info.st_mode)) {
    common::FileDescriptor out(::open(given.c_str(), O_WRONLY | O_CLOEXEC));
    std::size_t done = 0;
    if (!out.valid() || !out.writeAll(std::as_bytes(bytes), done) ||
        !out.close()) {
      throw std::runtime_error(given + ": cannot write it (" +
                               errorText(errno) + ")");
    }
    return;
  }
  std::error_code ignored;
  const fs::path target =
      fs::exists(given, ignored) ? fs::canonical(given) : fs::absolute(given);
  const mode_t mode = ::stat(target.c_str(), &info) == 0
                          ? (info.st_mode & 07777)
                          : static_cast<mode_t>(0644);
  std::string temporary = target.string() + ".pei-vars-XXXXXX";
  common::FileDescriptor out(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!out.valid()) {
    throw std::runtime_error(given + ": cannot create a file beside it (" +
                             errorText(errno) + "); it was left as it was");
  }
  const auto fail = [&](const std::string &what, int error) {
    ::unlink(temporary.c_str());
    return std::runtime_error(given + ": " + what + " (" + errorText(error) +
                              "); it was left as it was");
  };
  std::size_t done = 0;
  if (::fchmod(out.get(), mode) != 0) {
    throw fail("cannot set the permissions of its replacement", errno);
  }
  if (!out.writeAll(std::as_bytes(bytes), done)) {
    throw fail("expected to write " + std::to_string(bytes.size()) +
                   " bytes, found " + std::to_string(done) + " written",
               errno);
  }
  if (::fsync(out.get()) != 0 || !out.close()) {
    throw fail("cannot flush its replacement", errno);
  }
  if (::rename(temporary.c_str(), target.c_str()) != 0) {
    throw fail("cannot rename its replacement over it", errno);
  }
  const common::FileDescriptor directory(
      ::open(target.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.valid()) {
    ::fsync(directory.get());
  }
}

// Refuses, before anything changes, a store that cannot be written.
void checkStoreWritable(const std::string &path) {
  const common::FileDescriptor file(
      ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!file.valid()) {
    throw VarsError(path + ": expected a store that can be written, found " +
                    "it cannot (" + errorText(errno) + ")");
  }
}

std::string formatName(vars_format::StoreFormat format) {
  return format == vars_format::StoreFormat::Authenticated ? "authenticated"
                                                           : "normal";
}

std::string describe(const CommandLine &line) {
  return "\"" + vars_format::nameToUtf8(line.name) + "\" (" +
         line.vendor.text() + ")";
}

int list(const CommandLine &line, const VariableStore &store) {
  const auto &variables = store.variables();
  std::size_t live = 0;
  for (const auto &variable : variables) {
    live += variable.live() ? 1 : 0;
  }
  std::printf("%s: %s variable store at 0x%X, %u bytes: %zu variable%s "
              "(%zu copies), %u bytes free, %u held by deleted copies\n",
              line.store.c_str(), formatName(store.format()).c_str(),
              store.storeOffset(), store.storeEnd() - store.storeOffset(), live,
              live == 1 ? "" : "s", variables.size(),
              store.storeEnd() - store.freeOffset(), store.reclaimableBytes());
  for (const auto &variable : variables) {
    std::printf("  0x%05X  %-21s  0x%08X  %6u  %s  %s\n", variable.offset,
                vars_format::stateName(variable.state).c_str(),
                variable.attributes, variable.dataSize,
                variable.vendor.text().c_str(),
                vars_format::nameToUtf8(variable.name).c_str());
  }
  return common::kExitOk;
}

const vars_format::Variable &found(const CommandLine &line,
                                   const VariableStore &store) {
  const vars_format::Variable *variable = store.find(line.name, line.vendor);
  if (variable == nullptr) {
    throw vars_format::StoreRefusal("no variable " + describe(line) +
                                    " in the store");
  }
  return *variable;
}

int read(const CommandLine &line, const VariableStore &store) {
  const auto data = store.data(found(line, store));
  if (line.output == "-") {
    std::cout.write(reinterpret_cast<const char *>(data.data()),
                    static_cast<std::streamsize>(data.size()));
    std::cout.flush();
    return std::cout ? common::kExitOk : common::kExitFailed;
  }
  if (!line.output.empty()) {
    replaceFile(line.output, data);
    return common::kExitOk;
  }
  for (std::size_t at = 0; at < data.size(); at += 16) {
    std::printf("%08zX ", at);
    for (std::size_t i = at; i < at + 16 && i < data.size(); ++i) {
      std::printf(" %02X", data[i]);
    }
    std::printf("\n");
  }
  return common::kExitOk;
}

int write(const CommandLine &line, VariableStore &store) {
  const vars_format::Variable *current = store.find(line.name, line.vendor);
  std::vector<std::uint8_t> data;
  if (!line.dataFile.empty()) {
    data = readInput(line.dataFile, "a data file");
  } else if (line.hexData) {
    data = *line.hexData;
  } else if (line.size) {
    data.assign(*line.size, 0);
  } else if (current != nullptr) {
    const auto old = store.data(*current);
    data.assign(old.begin(), old.end());
  } else {
    throw vars_format::StoreRefusal(
        "--set-byte: expected a variable " + describe(line) +
        " to edit (or --size N to start from zeros), found none");
  }
  for (const vars_format::ByteEdit &edit : line.edits) {
    if (edit.offset >= data.size()) {
      throw common::badValue("--set-byte",
                             "an offset within the " +
                                 std::to_string(data.size()) + " bytes of data",
                             std::to_string(edit.offset));
    }
    data[edit.offset] = edit.value;
  }
  const std::uint32_t attributes =
      line.attributes.value_or(current != nullptr ? current->attributes : 0x7);
  const std::uint32_t oldOffset = current != nullptr ? current->offset : 0;
  const vars_format::WriteOutcome outcome = [&] {
    try {
      return store.write(line.name, line.vendor, attributes, data);
    } catch (const VarsError &error) {
      throw VarsError(line.store + ": " + error.what());
    }
  }();
  if (outcome == vars_format::WriteOutcome::Unchanged) {
    std::printf("%s: %s unchanged: its data and attributes are already "
                "these\n",
                line.store.c_str(), describe(line).c_str());
    return common::kExitOk;
  }
  replaceFile(line.store, store.bytes());
  const vars_format::Variable &added = found(line, store);
  std::printf("%s: wrote %s, %zu byte%s, attributes 0x%X, at 0x%X",
              line.store.c_str(), describe(line).c_str(), data.size(),
              data.size() == 1 ? "" : "s", attributes, added.offset);
  if (outcome == vars_format::WriteOutcome::Replaced) {
    std::printf("; the copy at 0x%X deleted", oldOffset);
  }
  std::printf("\n");
  return common::kExitOk;
}

int remove(const CommandLine &line, VariableStore &store) {
  store.remove(line.name, line.vendor);
  replaceFile(line.store, store.bytes());
  std::printf("%s: deleted %s\n", line.store.c_str(), describe(line).c_str());
  return common::kExitOk;
}

int run(const std::vector<std::string> &args) {
  const CommandLine line = vars_format::parseCommandLine(args);
  if (line.help) {
    std::cout << vars_format::kUsage;
    return common::kExitOk;
  }
  std::vector<std::uint8_t> bytes =
      readInput(line.store, "an EDK II variable store");
  VariableStore store = [&] {
    try {
      return VariableStore::parse(std::move(bytes));
    } catch (const vars_format::VarsError &error) {
      throw VarsError(line.store + ": " + error.what());
    }
  }();
  if (line.command == vars_format::Command::Write ||
      line.command == vars_format::Command::Delete) {
    checkStoreWritable(line.store);
  }
  if (!line.output.empty() && line.output != "-") {
    common::checkWritable("--output", line.output);
    const std::vector<common::RunFile> inputs{{"the store", line.store}};
    const std::vector<common::RunFile> outputs{{"--output", line.output}};
    common::checkDistinct(inputs, outputs);
  }
  switch (line.command) {
  case vars_format::Command::List:
    return list(line, store);
  case vars_format::Command::Read:
    return read(line, store);
  case vars_format::Command::Write:
    return write(line, store);
  case vars_format::Command::Delete:
    return remove(line, store);
  }
  return common::kExitFailed;
}

} // namespace

int main(int argc, char **argv) {
  try {
    return run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const UsageError &e) {
    std::cerr << "pei-vars: " << e.what() << "\n(see pei-vars --help)\n";
    return common::kExitUsage;
  } catch (const vars_format::VarsError &e) {
    std::cerr << "pei-vars: " << e.what() << "\n";
    return common::kExitUsage;
  } catch (const std::exception &e) {
    std::cerr << "pei-vars: " << e.what() << "\n";
    return common::kExitFailed;
  }
}
