#include "command_line.h"

#include "number.h"
#include "usage.h"

namespace ffs_format {

using common::UsageError;

const std::string_view kUsage =
    R"(usage: pei-ffs [options] IMAGE.efi -o FILE.ffs

Packages a PEI module as an FFS file of type PEIM (0x06): a PEI
dependency section, a PE32 (or, with --te, TE) section placed so that the
image base lies on the image's section alignment, and a user-interface name
section.

options:
  -o, --output FILE         the FFS file to write (required)
  --guid GUID               file name GUID (default: 6B102C40-43C0-4B44-B347-CB97B70880ED)
  --name TEXT               user-interface name (default: TpmTransportPei)
  --depex GUID              dispatch only once this PPI is installed; repeat
                            for several (all required). Default: TRUE
  --rebase ADDRESS          rebase the image to this ImageBase
  --xip-file-address ADDRESS
                            rebase so the image executes in place when the
                            file header lies at ADDRESS
  --te                      package the image as a TE image (EFI_SECTION_TE):
                            540 bytes of PE32 headers become a 40-byte header
  --erase-polarity 0|1      erase polarity of the target volume (default 1)
  --volume FILE             also write a firmware volume holding only this
                            file, for inspection with volume-based tools
  -h, --help                this text

The image is a regular file of at most 16 MiB: a PE32 or TE image, or an
FFS file that holds one (re-wrapped with these options), whose
SectionAlignment and FileAlignment are one power of two up to 64 KiB; the
rebased image and the file must end within 4 GiB. Neither output may be the
image or the other output. The outputs appear only when both were written
whole.

exit status: 0 when the file (and volume) were written; 2 for a bad command
line or a bad input, refused before anything is written (an image that is
refused or is not a regular file, an address the file cannot be placed at,
an output that cannot be written or is the image or the other output); 1
when an output cannot be written (nothing is left of either).
)";

namespace {

std::uint32_t parseAddress(const std::string &option, const std::string &text) {
  // Hexadecimal with 0x, otherwise decimal: a leading zero does not make an
  // address octal, and no sign or blank is accepted. At most 16 digits.
  const common::NumberReading reading =
      common::readNumber(text, common::Radix::DecimalOrHex);
  if (reading.fault != common::NumberReading::Fault::None ||
      reading.digits > 16 || reading.value > 0xFFFFFFFFull) {
    throw common::badValue(option, "a 32-bit address (0x... or decimal)",
                           common::inQuotes(text));
  }
  return static_cast<std::uint32_t>(reading.value);
}

struct Option {
  const char *name;
  const char *shortName; // or null
  const char *value;     // what the value is, for messages; null: a flag
  void (*apply)(CommandLine &, const std::string &name,
                const std::string &value);
};

const Option kOptions[] = {
    {"--help", "-h", nullptr,
     [](CommandLine &line, const std::string &, const std::string &) {
       line.help = true;
     }},
    {"--output", "-o", "a file name",
     [](CommandLine &line, const std::string &, const std::string &v) {
       line.output = v;
     }},
    {"--guid", nullptr, "a GUID",
     [](CommandLine &line, const std::string &, const std::string &v) {
       line.options.name = parseGuid(v);
     }},
    {"--name", nullptr, "a name",
     [](CommandLine &line, const std::string &, const std::string &v) {
       line.options.uiName = v;
     }},
    {"--depex", nullptr, "a GUID",
     [](CommandLine &line, const std::string &, const std::string &v) {
       line.options.depex.push_back(parseGuid(v));
     }},
    {"--rebase", nullptr, "an address",
     [](CommandLine &line, const std::string &name, const std::string &v) {
       line.options.imageBase = parseAddress(name, v);
     }},
    {"--xip-file-address", nullptr, "an address",
     [](CommandLine &line, const std::string &name, const std::string &v) {
       line.options.fileAddress = parseAddress(name, v);
     }},
    {"--te", nullptr, nullptr,
     [](CommandLine &line, const std::string &, const std::string &) {
       line.options.te = true;
     }},
    {"--erase-polarity", nullptr, "0 or 1",
     [](CommandLine &line, const std::string &name, const std::string &v) {
       if (v != "0" && v != "1") {
         throw common::badValue(name, "0 or 1", common::inQuotes(v));
       }
       line.options.erasePolarity = v == "1";
     }},
    {"--volume", nullptr, "a file name",
     [](CommandLine &line, const std::string &, const std::string &v) {
       line.volumePath = v;
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

} // namespace

CommandLine parseCommandLine(const std::vector<std::string> &args) {
  CommandLine line;
  for (std::size_t i = 0; i < args.size() && !line.help; ++i) {
    const std::string &arg = args[i];
    if (const Option *option = findOption(arg)) {
      if (option->value != nullptr && i + 1 >= args.size()) {
        throw common::missingValue(arg, option->value);
      }
      option->apply(line, arg, option->value != nullptr ? args[++i] : "");
    } else if (!arg.empty() && arg[0] == '-') {
      throw UsageError("expected an option from --help, found " +
                       common::inQuotes(arg));
    } else if (line.input.empty()) {
      line.input = arg;
    } else {
      throw UsageError("expected one input image, found a second: " +
                       common::inQuotes(arg));
    }
  }
  if (!line.help && (line.input.empty() || line.output.empty())) {
    throw UsageError(
        "expected an input image and -o FILE, found " +
        std::string(line.input.empty() ? "no input" : "no output"));
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

} // namespace ffs_format
