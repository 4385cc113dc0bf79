#include "command_line.h"

#include "number.h"
#include "usage.h"

namespace ffs_format {

using common::UsageError;

const std::string_view kUsage =
    R"(usage: pei-ffs [options] IMAGE.efi -o FILE.ffs
       pei-ffs [options] IMAGE.efi --insert-into FLASH.fd --fv GUID
               [--apriori] -o OUT.fd
       pei-ffs [options] IMAGE.efi --edk2-kit DIR

Packages a PEI module as an FFS file of type PEIM (0x06): a PEI
dependency section, a PE32 (or, with --te, TE) section placed so that the
image base lies on the image's section alignment, and a user-interface name
section. With --insert-into, places that file into a firmware volume of a
flash image instead, rebased for where it executes there. With --edk2-kit,
writes the module as an EDK II binary module (INF, image, dependency, FDF
lines).

options:
  -o, --output FILE         the FFS file to write, or with --insert-into
                            the flash image with the module inserted
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
  --insert-into FLASH       the flash image to insert the file into
  --fv GUID                 the name of the volume to insert it into (it may
                            lie inside an LZMA-compressed section)
  --apriori                 also list the file in the volume's PEI apriori
                            file (created when the volume has none)
  --flash-base ADDRESS      address of the flash image's first byte
                            (default: the image ends at 4 GiB)
  --fv-address ADDRESS      address the volume executes at, instead of its
                            flash address or what its images say
  --edk2-kit DIR            write NAME.inf, the image, NAME.depex and
                            NAME.fdf (the lines for a platform's FDF) there
  -h, --help                this text

The image is a regular file of at most 16 MiB: a PE32 or TE image, or an
FFS file that holds one (re-wrapped with these options), whose
SectionAlignment and FileAlignment are one power of two up to 64 KiB; the
rebased image and the file must end within 4 GiB. No output may be an
input or another output. The outputs appear only when all were written
whole.

exit status: 0 when every output was written; 2 for a bad command line or
a bad input, refused before anything is written (an image or flash image
that is refused or is not a regular file, an address the file cannot be
placed at, a volume not found, truncated, without room or inside a section
that cannot be rebuilt, an output that cannot be written or is an input or
another output); 1 when an output cannot be written (nothing is left of
any).
)";

namespace {

// Hexadecimal with 0x, otherwise decimal: a leading zero does not make an
// address octal, and no sign or blank is accepted. At most 16 digits, and
// at most `most`.
std::uint64_t parseNumber(const std::string &option, const std::string &text,
                          std::uint64_t most, const char *expected) {
  const common::NumberReading reading =
      common::readNumber(text, common::Radix::DecimalOrHex);
  if (reading.fault != common::NumberReading::Fault::None ||
      reading.digits > 16 || reading.value > most) {
    throw common::badValue(option, expected, common::inQuotes(text));
  }
  return reading.value;
}

std::uint32_t parseAddress(const std::string &option, const std::string &text) {
  return static_cast<std::uint32_t>(parseNumber(
      option, text, 0xFFFFFFFFull, "a 32-bit address (0x... or decimal)"));
}

Guid parseGuidOption(const std::string &option, const std::string &text) {
  try {
    return parseGuid(text);
  } catch (const FfsError &) {
    throw common::badValue(option,
                           "a GUID XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX",
                           common::inQuotes(text));
  }
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
       line.erasePolarityGiven = true;
     }},
    {"--volume", nullptr, "a file name",
     [](CommandLine &line, const std::string &, const std::string &v) {
       line.volumePath = v;
     }},
    {"--insert-into", nullptr, "a flash image",
     [](CommandLine &line, const std::string &, const std::string &v) {
       line.flashPath = v;
     }},
    {"--fv", nullptr, "a volume name GUID",
     [](CommandLine &line, const std::string &name, const std::string &v) {
       line.targetVolume = parseGuidOption(name, v);
     }},
    {"--apriori", nullptr, nullptr,
     [](CommandLine &line, const std::string &, const std::string &) {
       line.apriori = true;
     }},
    {"--flash-base", nullptr, "an address",
     [](CommandLine &line, const std::string &name, const std::string &v) {
       line.flashBase = parseAddress(name, v);
     }},
    {"--fv-address", nullptr, "an address",
     [](CommandLine &line, const std::string &name, const std::string &v) {
       line.volumeAddress = parseAddress(name, v);
     }},
    {"--edk2-kit", nullptr, "a directory",
     [](CommandLine &line, const std::string &, const std::string &v) {
       line.kitPath = v;
     }},
};

// Options that only make sense together, or never together.
void checkCombinations(const CommandLine &line) {
  const auto refuse = [](const std::string &option, const std::string &why) {
    throw UsageError(option + ": " + why);
  };
  if (line.inserting()) {
    if (!line.targetVolume) {
      refuse("--insert-into", "expected --fv GUID naming the volume, found "
                              "none");
    }
    if (line.options.imageBase || line.options.fileAddress) {
      refuse(line.options.imageBase ? "--rebase" : "--xip-file-address",
             "expected no rebase with --insert-into, which rebases for "
             "where the file lands, found one");
    }
    if (!line.volumePath.empty()) {
      refuse("--volume", "expected no inspection volume with --insert-into, "
                         "whose output is the flash image, found one");
    }
    if (line.erasePolarityGiven) {
      refuse("--erase-polarity", "expected none with --insert-into, which "
                                 "takes the volume's own, found one");
    }
    if (line.output.empty()) {
      refuse("--insert-into", "expected -o OUT.fd for the flash image, "
                              "found no output");
    }
  } else {
    const std::pair<bool, const char *> needsFlash[] = {
        {line.targetVolume.has_value(), "--fv"},
        {line.apriori, "--apriori"},
        {line.flashBase.has_value(), "--flash-base"},
        {line.volumeAddress.has_value(), "--fv-address"}};
    for (const auto &[given, option] : needsFlash) {
      if (given) {
        refuse(option, "expected --insert-into FLASH with it, found none");
      }
    }
  }
  if (line.output.empty() && !line.kitPath.empty()) {
    // The kit alone: the FFS file's own options have nothing to act on.
    const std::pair<bool, const char *> ffsOnly[] = {
        {line.options.imageBase.has_value(), "--rebase"},
        {line.options.fileAddress.has_value(), "--xip-file-address"},
        {!line.volumePath.empty(), "--volume"},
        {line.erasePolarityGiven, "--erase-polarity"}};
    for (const auto &[given, option] : ffsOnly) {
      if (given) {
        refuse(option, "expected -o FILE.ffs with it (the EDK II kit carries "
                       "the image as linked), found none");
      }
    }
  }
}

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
  if (line.help) {
    return line;
  }
  if (line.input.empty() ||
      (line.output.empty() && line.kitPath.empty() && !line.inserting())) {
    throw UsageError(
        "expected an input image and -o FILE (or --edk2-kit DIR), found " +
        std::string(line.input.empty() ? "no input" : "no output"));
  }
  checkCombinations(line);
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
