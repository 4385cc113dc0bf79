#include "command_line.h"

#include "number.h"
#include "usage.h"

#include <stdexcept>

namespace vars_format {

using common::UsageError;

const std::string_view kUsage =
    R"(usage: pei-vars list STORE
       pei-vars read STORE NAME [--guid GUID] [-o FILE]
       pei-vars write STORE NAME [--guid GUID] [--data-file FILE | --hex HEX |
                      --size N] [--set-byte OFFSET=VALUE ...] [--attributes A]
       pei-vars delete STORE NAME [--guid GUID]

Lists, reads, writes and deletes UEFI variables in an EDK II variable store
file (an NV-store firmware volume, such as OVMF's VARS image), in the
authenticated or the normal variable format, whichever the store declares.

commands:
  list      every variable copy in store order: offset, state, attributes,
            data size, vendor GUID and name; deleted copies included
  read      the data of the copy a reader takes (added, else in deleted
            transition), as a hex dump, or raw with -o
  write     appends a new copy and marks the old one deleted, as the
            variable driver updates flash; data equal to the current ones
            change nothing
  delete    marks the variable's copies deleted

options:
  --guid GUID               vendor GUID (default: the "Setup" vendor GUID,
                            A04A27F4-DF00-4D42-B552-39511302113D)
  -o, --output FILE         read: write the raw data to FILE ("-": stdout)
  --data-file FILE          write: the data are the bytes of FILE
  --hex HEX                 write: the data in hexadecimal ("00ff10" or
                            "00 ff 10")
  --size N                  write: the data start as N zero bytes
  --set-byte OFFSET=VALUE   write: set one byte of the data, after the source
                            above or, without one, of the current data;
                            repeat for several
  --attributes A            write: the attributes (default: the current
                            copy's, else 0x7: non-volatile, boot-service and
                            runtime access); 0x3 must be set, 0x4 and 0x8 may
  -h, --help                this text

NAME is UTF-8 of printable characters up to U+FFFF (the store holds it as
UCS-2). Numbers are decimal or 0x-hexadecimal. The store is replaced whole
through a file written beside it and renamed over it, so a refused or failed
run leaves it as it was. Example, "Setup" declining the transport:

  pei-vars write VARS.fd Setup --size 1024 --set-byte 256=0

exit status: 0 when done; 2 for a bad command line or a bad input, refused
before anything is written (an unknown command or option, a bad name, GUID,
number or hex data, an edit outside the data, a store or data file that is
not a regular file or is larger than 64 MiB, a store that is corrupt, an
output that cannot be written or is the store); 1 when it cannot be done (no
such variable, no room left in the store, an authenticated variable, a file
that cannot be written), with nothing changed.
)";

namespace {

std::uint32_t parseSize(const std::string &option, const std::string &text,
                        std::uint64_t max) {
  return static_cast<std::uint32_t>(common::parseNumber(text, max, option));
}

std::vector<std::uint8_t> parseHex(const std::string &option,
                                   const std::string &text) {
  std::vector<std::uint8_t> bytes;
  int high = -1;
  for (const char c : text) {
    int nibble = -1;
    if (c >= '0' && c <= '9') {
      nibble = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      nibble = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      nibble = c - 'A' + 10;
    } else if (c == ' ' && high < 0) {
      continue;
    }
    if (nibble < 0) {
      throw common::badValue(option, "pairs of hexadecimal digits",
                             common::inQuotes(text));
    }
    if (high < 0) {
      high = nibble;
    } else {
      bytes.push_back(static_cast<std::uint8_t>(high << 4 | nibble));
      high = -1;
    }
  }
  if (high >= 0 || bytes.empty()) {
    throw common::badValue(option, "pairs of hexadecimal digits, at least one",
                           common::inQuotes(text));
  }
  return bytes;
}

ByteEdit parseEdit(const std::string &option, const std::string &text) {
  const auto equals = text.find('=');
  const auto number = [&](std::string_view part, std::uint64_t max) {
    return common::numberAtMost(part, max, common::Radix::DecimalOrHex);
  };
  const auto offset =
      equals == std::string::npos
          ? std::nullopt
          : number(std::string_view(text).substr(0, equals), kMaxFileSize - 1);
  const auto value =
      equals == std::string::npos
          ? std::nullopt
          : number(std::string_view(text).substr(equals + 1), 0xFF);
  if (!offset || !value) {
    throw common::badValue(option,
                           "OFFSET=VALUE, an offset below 64 MiB and a byte "
                           "value up to 255 (0xFF)",
                           common::inQuotes(text));
  }
  return {static_cast<std::uint32_t>(*offset),
          static_cast<std::uint8_t>(*value)};
}

// The commands an option belongs to, as bits of 1 << Command.
constexpr unsigned bit(Command command) {
  return 1u << static_cast<unsigned>(command);
}
constexpr unsigned kNamed =
    bit(Command::Read) | bit(Command::Write) | bit(Command::Delete);
constexpr unsigned kAll = kNamed | bit(Command::List);

struct Option {
  const char *name;
  const char *shortName; // or null
  const char *value;     // what the value is, for messages; null: a flag
  unsigned commands;
  void (*apply)(CommandLine &, const std::string &name,
                const std::string &value);
};

void setSource(CommandLine &line, const std::string &name) {
  if (!line.dataFile.empty() || line.hexData || line.size) {
    throw common::badValue(name, "one of --data-file, --hex and --size",
                           "two of them");
  }
}

const Option kOptions[] = {
    {"--help", "-h", nullptr, kAll,
     [](CommandLine &line, const std::string &, const std::string &) {
       line.help = true;
     }},
    {"--guid", nullptr, "a GUID", kNamed,
     [](CommandLine &line, const std::string &name, const std::string &v) {
       try {
         line.vendor = Guid::parse(v);
       } catch (const std::invalid_argument &error) {
         throw UsageError(name + ": " + error.what());
       }
     }},
    {"--output", "-o", "a file name", bit(Command::Read),
     [](CommandLine &line, const std::string &, const std::string &v) {
       line.output = v;
     }},
    {"--data-file", nullptr, "a file name", bit(Command::Write),
     [](CommandLine &line, const std::string &name, const std::string &v) {
       setSource(line, name);
       if (v.empty()) {
         throw common::badValue(name, "a file name", "an empty one");
       }
       line.dataFile = v;
     }},
    {"--hex", nullptr, "hexadecimal data", bit(Command::Write),
     [](CommandLine &line, const std::string &name, const std::string &v) {
       setSource(line, name);
       line.hexData = parseHex(name, v);
     }},
    {"--size", nullptr, "a size", bit(Command::Write),
     [](CommandLine &line, const std::string &name, const std::string &v) {
       setSource(line, name);
       line.size = parseSize(name, v, kMaxFileSize);
       if (*line.size == 0) {
         throw common::badValue(name, "at least 1", common::inQuotes(v));
       }
     }},
    {"--set-byte", nullptr, "OFFSET=VALUE", bit(Command::Write),
     [](CommandLine &line, const std::string &name, const std::string &v) {
       line.edits.push_back(parseEdit(name, v));
     }},
    {"--attributes", nullptr, "attributes", bit(Command::Write),
     [](CommandLine &line, const std::string &name, const std::string &v) {
       const std::uint32_t attributes = parseSize(name, v, 0xFFFFFFFF);
       try {
         checkWritableAttributes(attributes);
       } catch (const VarsError &error) {
         throw UsageError(name + ": " + error.what());
       }
       line.attributes = attributes;
     }},
};

const Option *findOption(const std::string &arg) {
  for (const Option &option : kOptions) {
    if (arg == option.name ||
        (option.shortName != nullptr && arg == option.shortName)) {
      return &option;
    }
  }
  return nullptr;
}

struct CommandName {
  const char *name;
  Command command;
};
constexpr CommandName kCommands[] = {{"list", Command::List},
                                     {"read", Command::Read},
                                     {"write", Command::Write},
                                     {"delete", Command::Delete}};

} // namespace

CommandLine parseCommandLine(const std::vector<std::string> &args) {
  CommandLine line;
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    line.help = true;
    return line;
  }
  const CommandName *command = nullptr;
  for (const CommandName &candidate : kCommands) {
    if (!args.empty() && args[0] == candidate.name) {
      command = &candidate;
    }
  }
  if (command == nullptr) {
    throw UsageError(
        "expected a command (list, read, write or delete), found " +
        (args.empty() ? std::string("none") : common::inQuotes(args[0])));
  }
  line.command = command->command;
  const bool named = (bit(line.command) & kNamed) != 0;
  std::vector<std::string> positional;
  for (std::size_t i = 1; i < args.size() && !line.help; ++i) {
    const std::string &arg = args[i];
    if (const Option *option = findOption(arg)) {
      if ((option->commands & bit(line.command)) == 0) {
        throw UsageError("expected an option of " + std::string(command->name) +
                         " (see --help), found " + common::inQuotes(arg));
      }
      if (option->value != nullptr && i + 1 >= args.size()) {
        throw common::missingValue(arg, option->value);
      }
      option->apply(line, arg, option->value != nullptr ? args[++i] : "");
    } else if (arg.size() > 1 && arg[0] == '-') {
      throw UsageError("expected an option from --help, found " +
                       common::inQuotes(arg));
    } else if (positional.size() < (named ? 2u : 1u)) {
      positional.push_back(arg);
    } else {
      throw UsageError(
          "expected " + std::string(named ? "STORE and NAME" : "STORE") +
          " only, found another argument: " + common::inQuotes(arg));
    }
  }
  if (line.help) {
    return line;
  }
  if (positional.size() < (named ? 2u : 1u)) {
    throw UsageError(std::string(command->name) + ": expected " +
                     (named ? "STORE and NAME" : "STORE") + ", found " +
                     (positional.empty() ? "neither" : "only STORE"));
  }
  line.store = positional[0];
  if (named) {
    line.nameText = positional[1];
    try {
      line.name = nameFromUtf8(line.nameText);
    } catch (const VarsError &error) {
      throw UsageError("NAME: " + std::string(error.what()));
    }
  }
  if (line.command == Command::Write && line.dataFile.empty() &&
      !line.hexData && !line.size && line.edits.empty()) {
    throw UsageError("write: expected --data-file, --hex, --size or "
                     "--set-byte, found none of them");
  }
  return line;
}

std::vector<std::string> commandLineOptionNames() {
  std::vector<std::string> names;
  for (const Option &option : kOptions) {
    names.emplace_back(option.name);
  }
  return names;
}

} // namespace vars_format
