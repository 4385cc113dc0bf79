#include "bench.h"

#include "files.h"
#include "hex.h"
#include "little_endian.h"
#include "loader.h"

#include <algorithm>
#include <chrono>

namespace bench {

using common::hex;

namespace {

constexpr std::uint64_t k4GiB = 0x100000000ull;
constexpr std::uint32_t kPage = 0x1000;
// Flash images together: at most this much below 4 GiB, which keeps them
// clear of the chipset's and the co-processor's registers.
constexpr std::uint32_t kMaxFlash = 16u << 20;
constexpr std::size_t kMaxInput = 64u << 20;
constexpr std::uint32_t kFvSignatureField = 40;
constexpr std::uint32_t kFvSignature = 0x4856465F; // "_FVH"
constexpr std::uint32_t kBootServicesCode = 3;
constexpr std::uint32_t kBootServicesData = 4;
constexpr std::uint8_t kSectionPe32 = 0x10;
constexpr std::uint8_t kFileTypePeim = 0x06;
constexpr std::uint8_t kFileTypeCombined = 0x08;
// Resource descriptor of the memory the bench installs: system memory,
// present, initialised, tested, cacheable.
constexpr std::uint32_t kResourceSystemMemory = 0;
constexpr std::uint32_t kResourceTested = 0x7 | 0x400 | 0x800 | 0x1000 | 0x2000;
// Serial port registers: line status with the transmitter empty.
constexpr std::uint64_t kLineStatusEmpty = 0x60;
constexpr std::uint8_t kDebugPortPresent = 0xE9;

// Copies `from` into `to` at `at`, which has room for it. An index loop:
// GCC 12 at -O3 takes std::copy to an offset for an overflow it cannot rule
// out, and warns.
void put(volume::Bytes &to, std::size_t at,
         std::span<const std::uint8_t> from) {
  for (std::size_t i = 0; i < from.size(); ++i) {
    to[at + i] = from[i];
  }
}

std::uint32_t alignUp(std::uint64_t value, std::uint32_t alignment) {
  return static_cast<std::uint32_t>((value + alignment - 1) &
                                    ~std::uint64_t{alignment - 1});
}

bool isImage(const volume::Bytes &bytes) {
  return bytes.size() >= 2 && ((bytes[0] == 'M' && bytes[1] == 'Z') ||
                               (bytes[0] == 'V' && bytes[1] == 'Z'));
}

bool isVolumeAt0(const volume::Bytes &bytes) {
  return bytes.size() >= 56 &&
         common::le::load(bytes.data() + kFvSignatureField, 4) == kFvSignature;
}

// An FFS file header with a good checksum and a size within the bytes.
bool isFile(const volume::Bytes &bytes) {
  constexpr std::size_t kHeader = 24;
  if (bytes.size() < kHeader) {
    return false;
  }
  const std::uint64_t size = common::le::load(bytes.data() + 20, 3);
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < kHeader; ++i) {
    sum = static_cast<std::uint8_t>(sum + bytes[i]);
  }
  // State and the file checksum do not count.
  sum = static_cast<std::uint8_t>(sum - bytes[23] - bytes[17]);
  return sum == 0 && size >= kHeader && size <= bytes.size();
}

volume::Bytes readInput(const std::filesystem::path &path) {
  const common::FileDescriptor file = common::openRegularFile(path);
  volume::Bytes bytes = common::readUpTo(file, kMaxInput + 1, path);
  if (bytes.size() > kMaxInput) {
    throw InputError(path.string() + ": expected at most " +
                     std::to_string(kMaxInput) + " bytes, found more");
  }
  if (bytes.empty()) {
    throw InputError(path.string() + ": expected a flash image, volume, FFS "
                                     "file or image, found an empty file");
  }
  return bytes;
}

// A firmware volume of the bench's own that holds the FFS files given alone
// (and those it made around images given alone): erase polarity 1, files
// on 8-byte boundaries, 4 KiB blocks.
volume::Bytes benchVolume(const std::vector<volume::Bytes> &files) {
  constexpr std::uint32_t kHeader = 72; // 56 + two block-map entries
  std::uint32_t length = kHeader;
  for (const volume::Bytes &file : files) {
    length = alignUp(length, 8) + static_cast<std::uint32_t>(file.size());
  }
  length = alignUp(length + 8, kPage);
  volume::Bytes bytes(length, 0xFF);
  auto store = [&](std::uint32_t at, unsigned size, std::uint64_t value) {
    common::le::store(bytes.data() + at, size, value);
  };
  std::fill(bytes.begin(), bytes.begin() + kHeader, 0);
  const efi::Guid ffs2 =
      efi::Guid::parse("8C8CE578-8A3D-4F1C-9935-896185C32DD3");
  put(bytes, 16, ffs2.bytes);
  store(32, 8, length);
  store(40, 4, kFvSignature);
  store(44, 4, 0x0004FEFF); // readable, memory mapped, erase polarity 1 ...
  store(48, 2, kHeader);
  store(55, 1, 2);
  store(56, 4, length / kPage);
  store(60, 4, kPage);
  std::uint16_t sum = 0;
  for (std::uint32_t at = 0; at < kHeader; at += 2) {
    sum = static_cast<std::uint16_t>(sum + common::le::load(&bytes[at], 2));
  }
  store(50, 2, static_cast<std::uint16_t>(0x10000 - sum));
  std::uint32_t at = kHeader;
  for (const volume::Bytes &file : files) {
    at = alignUp(at, 8);
    put(bytes, at, file);
    at += static_cast<std::uint32_t>(file.size());
  }
  return bytes;
}

// An FFS PEIM file around an image given alone: its name made from the
// image's bytes (the same image always gets the same name), no dependency
// expression, the image and the file's base name as its UI section.
volume::Bytes fileAround(const volume::Bytes &image, const std::string &ui) {
  efi::Guid name;
  std::uint64_t hash = 0xCBF29CE484222325ull; // FNV-1a
  for (std::uint8_t byte : image) {
    hash = (hash ^ byte) * 0x100000001B3ull;
  }
  for (unsigned i = 0; i < 16; ++i) {
    name.bytes[i] = static_cast<std::uint8_t>(hash >> (8 * (i % 8)));
    if (i == 7) {
      hash = (hash ^ 0x5A) * 0x100000001B3ull;
    }
  }
  auto section = [](std::uint8_t type, std::span<const std::uint8_t> body) {
    volume::Bytes out(4 + body.size());
    common::le::store(out.data(), 3, out.size());
    out[3] = type;
    put(out, 4, body);
    while (out.size() % 4 != 0) {
      out.push_back(0);
    }
    return out;
  };
  volume::Bytes uiText;
  for (char c : ui) {
    uiText.push_back(static_cast<std::uint8_t>(c));
    uiText.push_back(0);
  }
  uiText.push_back(0);
  uiText.push_back(0);
  const std::uint8_t type = image[0] == 'V' ? 0x12 : kSectionPe32;
  const volume::Bytes imageSection = section(type, image);
  const volume::Bytes uiSection = section(0x15, uiText);
  // Built whole, then filled: header, image section, UI section.
  volume::Bytes file(24 + imageSection.size() + uiSection.size(), 0);
  put(file, 24, imageSection);
  put(file, 24 + imageSection.size(), uiSection);
  put(file, 0, name.bytes);
  file[18] = kFileTypePeim;
  file[19] = 0; // no attributes: the file checksum is the fixed 0xAA
  common::le::store(file.data() + 20, 3, file.size());
  std::uint8_t sum = 0;
  for (unsigned i = 0; i < 24; ++i) {
    sum = static_cast<std::uint8_t>(sum + file[i]);
  }
  file[16] = static_cast<std::uint8_t>(0x100 - sum);
  file[17] = 0xAA;
  file[23] = 0xF8; // header and data valid, with erase polarity 1
  return file;
}

} // namespace

const char *outcomeName(Outcome outcome) {
  switch (outcome) {
  case Outcome::NotDispatched:
    return "never dispatchable";
  case Outcome::BadDepex:
    return "malformed dependency expression";
  case Outcome::NoImage:
    return "no image to run";
  case Outcome::Returned:
    return "returned";
  case Outcome::Faulted:
    return "faulted";
  case Outcome::Bound:
    return "stopped at a bound";
  case Outcome::Reset:
    return "asked for a reset";
  }
  return "?";
}

// A volume as the bench placed it in guest memory.
struct Bench::Placed {
  volume::Volume volume;
  std::uint32_t base = 0; // the guest address of its header
  bool inPlace = false;   // its images may run where they lie
  bool bench = false;     // the bench volume (images given alone)
  std::string where;      // how the report names it
};

// A module the bench dispatches, with what it did.
struct Bench::Module {
  volume::Peim peim;
  std::size_t volume = 0; // index in placed_
  std::optional<volume::Depex> depex;
  std::optional<pei::PeImage> image;
  std::uint32_t entry = 0;
  std::uint32_t shadowBase = 0, shadowSize = 0;
  bool done = false;
  std::string lastService;
  PeimReport report;

  bool covers(std::uint32_t address) const {
    const auto in = [&](std::uint32_t base, std::uint32_t size) {
      return size != 0 && address >= base && address - base < size;
    };
    return in(report.address, report.size) || in(shadowBase, shadowSize);
  }
};

Bench::Bench(BenchOptions options)
    : options_(std::move(options)),
      machine_(std::make_unique<machine::Machine>()) {
  if (options_.inputs.empty()) {
    throw InputError("expected at least one input (a flash image, firmware "
                     "volume, FFS file or PE32/TE image), found none");
  }
  machine_->limits() = options_.limits;
  bus::AddressSpace &space = machine_->space();
  space.setUnmodelled(bus::Unmodelled::Record);
  for (const RegisterAnswer &answer : options_.registers) {
    space.declare(answer.space, answer.address, answer.values);
  }
  space.mapMemory(kTemporaryRam, kTemporaryRamSize, "temporary RAM",
                  machine::kReadWrite);
  // On a real processor the GDT and IDT lie in RAM, and modules that set up
  // exception handling write their IDT entries (as a CPU module's
  // memory-discovered callback does).
  space.protect(machine::Machine::kSystemBase, machine::kReadWrite);
  chipset_ = std::make_unique<devices::Chipset>(
      space, devices::ChipsetConfig{},
      [this](std::span<const std::uint8_t> command) {
        if (!options_.tpm) {
          return std::vector<std::uint8_t>{};
        }
        return options_.tpm(command);
      });
  mapConsole();
  space.mapMemory(kCallerBuffers, 0x10000, "caller buffers",
                  machine::kReadWrite);
  foundation_ = std::make_unique<pei::Foundation>(*machine_);
  foundation_->setCallbacksInside(true);
  readInputs();
}

Bench::~Bench() = default;

// --- inputs -----------------------------------------------------------------

void Bench::readInputs() {
  std::uint64_t flashBottom = k4GiB;
  std::vector<volume::Bytes> alone;
  auto flash = [&](const std::filesystem::path &path, volume::Bytes bytes) {
    if (bytes.size() % kPage != 0) {
      throw InputError(path.string() +
                       ": expected a flash image whose size "
                       "is a multiple of 4 KiB, found " +
                       std::to_string(bytes.size()) + " bytes");
    }
    if (k4GiB - flashBottom + bytes.size() > kMaxFlash) {
      throw InputError(path.string() + ": expected flash images of at most " +
                       std::to_string(kMaxFlash >> 20) +
                       " MiB together, found more");
    }
    flashBottom -= bytes.size();
    addFlash(path, std::move(bytes), static_cast<std::uint32_t>(flashBottom));
  };
  // The last flash image given ends at 4 GiB, each one before lies below
  // the next; the variable store lies below them all, as in a split flash
  // part (variables, then code).
  for (auto it = options_.inputs.rbegin(); it != options_.inputs.rend(); ++it) {
    volume::Bytes bytes = readInput(*it);
    if (isImage(bytes)) {
      alone.push_back(fileAround(bytes, it->stem().string()));
    } else if (isVolumeAt0(bytes)) {
      flash(*it, std::move(bytes));
    } else if (isFile(bytes)) {
      alone.push_back(std::move(bytes));
    } else {
      throw InputError(
          it->string() +
          ": expected a flash image, firmware volume, FFS file or PE32/TE "
          "image, found none of these (no volume signature at offset 0x28, "
          "no MZ or VZ signature, no FFS file header with a good checksum "
          "and a size within the file)");
    }
  }
  if (options_.vars) {
    volume::Bytes bytes = readInput(*options_.vars);
    if (!isVolumeAt0(bytes)) {
      throw InputError(options_.vars->string() +
                       ": expected a variable store volume (a firmware "
                       "volume header at offset 0), found none");
    }
    flash(*options_.vars, std::move(bytes));
  }
  if (!alone.empty()) {
    std::reverse(alone.begin(), alone.end());
    auto bytes = std::make_shared<const volume::Bytes>(benchVolume(alone));
    if (bytes->size() > kBenchVolumeMax) {
      throw InputError("the files and images given alone: expected at most " +
                       std::to_string(kBenchVolumeMax >> 10) +
                       " KiB together, found more");
    }
    std::vector<volume::Volume> found = volume::walk(bytes);
    if (!found.front().problems.empty()) {
      throw InputError("an input that is neither a flash image, a volume "
                       "nor an image: " +
                       found.front().problems.front());
    }
    machine_->space().mapMemory(kBenchVolume, alignUp(bytes->size(), kPage),
                                "bench volume", machine::kReadWrite);
    machine_->write(kBenchVolume, *bytes);
    placed_.push_back(Placed{found.front(), kBenchVolume, false, true,
                             "bench volume at " + hex(kBenchVolume, 8)});
  }
}

void Bench::addFlash(const std::filesystem::path &path, volume::Bytes bytes,
                     std::uint32_t base) {
  auto shared = std::make_shared<const volume::Bytes>(std::move(bytes));
  std::vector<volume::Volume> found;
  try {
    found = volume::walk(shared);
  } catch (const volume::FormatError &error) {
    throw InputError(path.string() + ": " + error.what());
  }
  machine_->space().mapMemory(base, static_cast<std::uint32_t>(shared->size()),
                              "flash " + path.filename().string(),
                              machine::kReadExecute);
  machine_->write(base, *shared);
  for (volume::Volume &found1 : found) {
    Placed placed{std::move(found1), 0, false, false, ""};
    placed.volume.origin =
        path.filename().string() + " " + placed.volume.origin;
    if (placed.volume.origin.find(" flash +") != std::string::npos) {
      placed.base = static_cast<std::uint32_t>(base + placed.volume.offset);
      placed.inPlace = true;
      placed.where = "in flash at " + hex(placed.base, 8);
    }
    placed_.push_back(std::move(placed));
  }
}

// --- placement --------------------------------------------------------------

// A volume found inside another (decompressed, or an FV-image section) goes
// where its images are linked to run, as SEC or a PEIM would copy it there;
// when they disagree or that memory is taken, it goes to the load area and
// its images are relocated.
void Bench::placeVolumes(RunReport &report) {
  for (std::size_t index = 0; index < placed_.size(); ++index) {
    Placed &placed = placed_[index];
    const std::vector<volume::Peim> peims = volume::peims(placed.volume);
    const bool any = std::any_of(peims.begin(), peims.end(),
                                 [](const auto &p) { return !p.core; });
    if (placed.base == 0 && any) {
      std::optional<std::uint32_t> linked;
      bool agree = true;
      for (const volume::Peim &peim : peims) {
        if (!peim.imageOffset || peim.image.empty()) {
          continue;
        }
        try {
          const pei::PeImage image =
              pei::PeImage::parse({peim.image.begin(), peim.image.end()});
          const std::uint64_t at = std::uint64_t{image.imageBase()} +
                                   image.fileRva() - *peim.imageOffset;
          if (linked && *linked != at) {
            agree = false;
          }
          linked = static_cast<std::uint32_t>(at);
        } catch (const std::exception &) {
          // reported when the module is placed
        }
      }
      const std::uint32_t size = alignUp(placed.volume.length, kPage);
      auto isFree = [&](std::uint32_t base) {
        for (std::uint64_t page = base; page < std::uint64_t{base} + size;
             page += kPage) {
          if (machine_->space().find(page) != nullptr) {
            return false;
          }
        }
        return std::uint64_t{base} + size <= k4GiB;
      };
      if (linked && agree && *linked % kPage == 0 && isFree(*linked)) {
        placed.base = *linked;
        placed.inPlace = true;
        placed.where = "copied to " + hex(placed.base, 8) +
                       ", where its images are linked to run";
      } else if (loadNext_ + size <= kLoadArea + kLoadAreaSize) {
        placed.base = loadNext_;
        loadNext_ += size;
        placed.where =
            "copied to " + hex(placed.base, 8) + " (its images relocated)";
      } else {
        report.log.push_back("volume " + placed.volume.origin +
                             ": no room to place it; its modules are skipped");
        continue;
      }
      machine_->space().mapMemory(placed.base, size,
                                  "volume " + (placed.volume.name
                                                   ? placed.volume.name->text()
                                                   : placed.volume.origin),
                                  machine::kReadWrite | machine::kExecute);
      machine_->write(placed.base,
                      {placed.volume.bytes.begin(), placed.volume.bytes.end()});
    }
    if (placed.base == 0) {
      continue; // holds no module: nothing to run from it
    }
    report.volumes.push_back(placed.volume.origin + ": " + placed.where + ", " +
                             std::to_string(placed.volume.length) + " bytes");
    for (const std::string &problem : placed.volume.problems) {
      report.log.push_back("volume " + placed.volume.origin + ": " + problem);
    }
    collectModules(placed);
  }
}

void Bench::collectModules(const Placed &placed) {
  const std::size_t index = static_cast<std::size_t>(&placed - placed_.data());
  const std::vector<volume::Guid> first = volume::apriori(placed.volume);
  for (volume::Peim &peim : volume::peims(placed.volume)) {
    if (peim.core || (peim.fileType != kFileTypePeim &&
                      peim.fileType != kFileTypeCombined)) {
      continue;
    }
    Module module;
    module.volume = index;
    PeimReport &report = module.report;
    report.name = peim.name;
    report.uiName = peim.uiName;
    report.volume = placed.volume.name
                        ? "volume " + placed.volume.name->text() + " (" +
                              placed.volume.origin + ")"
                        : placed.volume.origin;
    if (const volume::File *file = placed.volume.find(peim.name)) {
      report.file = placed.base + file->offset;
    }
    report.apriori =
        std::find(first.begin(), first.end(), peim.name) != first.end();
    report.depex = "TRUE";
    if (peim.depex) {
      try {
        module.depex = volume::parseDepex(*peim.depex);
        report.depex = volume::describe(*module.depex);
      } catch (const volume::FormatError &error) {
        report.outcome = Outcome::BadDepex;
        report.detail = error.what();
        module.done = true;
      }
    }
    module.peim = std::move(peim);
    modules_.push_back(std::move(module));
  }
}

std::uint32_t Bench::loadCopy(const pei::PeImage &image,
                              const std::string &name) {
  const std::uint32_t size = alignUp(image.sizeOfImage(), kPage);
  if (loadNext_ + size > kLoadArea + kLoadAreaSize) {
    throw machine::GuestFault("no room left in the load area for " + name +
                              " (" + std::to_string(size) + " bytes)");
  }
  const std::uint32_t base = loadNext_;
  loadNext_ += size;
  machine_->space().mapMemory(base, size, name + " (copy)",
                              machine::kReadWrite | machine::kExecute);
  const std::vector<std::uint8_t> bytes = image.relocatedTo(base);
  machine_->write(base, bytes);
  machine_->trapInstructions(base, bytes);
  return base;
}

// Where the module's image runs: in place when its volume lies where the
// image is linked to run from it, at its link base when it came alone and
// that memory is free, else from a relocated copy.
bool Bench::placeImage(Module &module) {
  PeimReport &report = module.report;
  const Placed &placed = placed_[module.volume];
  const std::string name = displayName(report);
  if (module.peim.image.empty()) {
    report.outcome = Outcome::NoImage;
    report.detail = "the file holds no PE32 or TE section";
    return false;
  }
  try {
    module.image.emplace(pei::PeImage::parse(
        {module.peim.image.begin(), module.peim.image.end()}));
  } catch (const std::exception &error) {
    report.outcome = Outcome::NoImage;
    report.detail = error.what();
    return false;
  }
  const pei::PeImage &image = *module.image;
  if (options_.imagePlaced) {
    options_.imagePlaced(name, report.name, image);
  }
  const std::uint64_t fileAt =
      module.peim.imageOffset
          ? std::uint64_t{placed.base} + *module.peim.imageOffset
          : 0;
  const bool fileLayout =
      image.isTe() || image.sectionAlignment() == image.fileAlignment();
  if (placed.inPlace && fileAt != 0 && fileLayout &&
      std::uint64_t{image.imageBase()} + image.fileRva() == fileAt) {
    report.address = image.imageBase();
    report.inPlace = true;
    machine_->trapInstructions(static_cast<std::uint32_t>(fileAt),
                               module.peim.image);
  } else if (placed.bench && [&] {
               for (std::uint64_t page = image.imageBase() & ~(kPage - 1);
                    page <
                    std::uint64_t{image.imageBase()} + image.sizeOfImage();
                    page += kPage) {
                 if (page >= k4GiB || machine_->space().find(page) != nullptr) {
                   return false;
                 }
               }
               return true;
             }()) {
    report.address = pei::mapInFlash(*machine_, image).base;
  } else {
    try {
      report.address = loadCopy(image, name);
    } catch (const machine::GuestFault &full) {
      report.outcome = Outcome::NoImage;
      report.detail = full.what();
      return false;
    }
  }
  report.size = image.sizeOfImage();
  report.linkBase = image.imageBase();
  module.entry = report.address + image.entryRva();
  machine_->announceImage(name, image.imageBase(), report.address, report.size);
  return true;
}

// --- dispatch ---------------------------------------------------------------

Bench::Module *Bench::moduleAt(std::uint32_t address) {
  for (Module &module : modules_) {
    if (module.covers(address)) {
      return &module;
    }
  }
  return nullptr;
}

std::optional<std::pair<std::size_t, std::string>>
Bench::moduleOf(std::uint32_t address) {
  const Module *module = moduleAt(address);
  if (module == nullptr) {
    return std::nullopt;
  }
  return std::pair{static_cast<std::size_t>(module - modules_.data()),
                   displayName(module->report)};
}

Bench::Module *Bench::moduleWithFile(std::uint32_t file) {
  for (Module &module : modules_) {
    if (module.report.file == file && file != 0) {
      return &module;
    }
  }
  return nullptr;
}

bool Bench::dispatchable(Module &module) {
  if (module.done) {
    return false;
  }
  if (!module.depex) {
    return true;
  }
  return volume::evaluate(*module.depex, [this](const efi::Guid &guid) {
    return foundation_->locate(guid).has_value();
  });
}

void Bench::runEntry(Module &module, std::uint32_t entry, bool shadow,
                     RunReport &report) {
  PeimReport &peim = module.report;
  const std::string name = displayName(peim);
  current_ = &module;
  std::optional<std::uint32_t> status;
  Outcome outcome = Outcome::Returned;
  std::string detail;
  try {
    status = foundation_
                 ->dispatchModule(name + (shadow ? " (shadow)" : ""),
                                  pei::GuestCallback{entry},
                                  pei::GuestAddress{peim.file})
                 .value;
  } catch (const machine::GuestFault &fault) {
    detail = fault.what();
    if (foundation_->reset()) {
      outcome = Outcome::Reset;
      ended_ = true;
    } else if (detail.find("runaway: ") != std::string::npos) {
      outcome = Outcome::Bound;
    } else {
      outcome = Outcome::Faulted;
    }
  }
  current_ = nullptr;
  if (outcome == Outcome::Bound || outcome == Outcome::Faulted) {
    detail = where(machine_->registers().eip) + detail + lastTouched(module);
  }
  if (shadow) {
    peim.shadowStatus = status;
  } else {
    peim.status = status;
  }
  if (outcome != Outcome::Returned || !shadow) {
    peim.outcome = outcome;
    peim.detail = detail;
  }
  report.log.push_back(
      "  " + name + (shadow ? " (shadow)" : "") + ": " +
      (status ? "returned " + pei::EfiStatus{*status}.name()
              : std::string(outcomeName(outcome)) + ": " + detail));
}

void Bench::dispatch(Module &module, RunReport &report) {
  module.done = true;
  if (!placeImage(module)) {
    report.log.push_back("skipped " + module.report.name.text() + ": " +
                         module.report.detail);
    return;
  }
  module.report.order = ++order_;
  report.log.push_back(
      "dispatch #" + std::to_string(order_) + " " + module.report.uiName +
      " {" + module.report.name.text() + "} at " +
      hex(module.report.address, 8) +
      (module.report.inPlace ? " (in place)" : "") +
      (module.report.depex != "TRUE" ? ", depex " + module.report.depex : ""));
  machine_->setStack(foundation_->onPermanentMemory()
                         ? stackTop_
                         : kTemporaryRam + kTemporaryRamSize);
  runEntry(module, module.entry, false, report);
  if (ended_) {
    return;
  }
  if (foundation_->memoryInstalled() && !foundation_->onPermanentMemory()) {
    switchMemory(report);
  }
  if (foundation_->onPermanentMemory()) {
    shadowRegistered(report);
  }
}

void Bench::switchMemory(RunReport &report) {
  try {
    stackTop_ = foundation_->switchToPermanentMemory(kPermanentStack);
    machine_->setStack(stackTop_);
    foundation_->runDispatchNotifications();
  } catch (const machine::GuestFault &fault) {
    // A notification the memory-discovered PPI fired stopped the machine:
    // the module whose code it was has its run end there.
    report.log.push_back("switch to permanent memory: " +
                         std::string(fault.what()));
    stackTop_ =
        static_cast<std::uint32_t>(foundation_->memoryInstalled()->begin +
                                   foundation_->memoryInstalled()->length) &
        ~(kPage - 1);
    machine_->setStack(stackTop_);
    const std::uint32_t eip = machine_->registers().eip;
    if (Module *module = moduleAt(eip)) {
      module->report.outcome = Outcome::Faulted;
      module->report.detail = "in a notification callback, " + where(eip) +
                              fault.what() + lastTouched(*module);
    }
  }
}

// Modules that registered for shadowing run again from a relocated copy in
// permanent memory, with the same file handle; RegisterForShadow then
// answers EFI_ALREADY_STARTED.
void Bench::shadowRegistered(RunReport &report) {
  for (Module &module : modules_) {
    // A module whose first run did not return is not run again.
    if (ended_ || !module.report.shadowRequested ||
        module.report.shadowAddress || !module.image ||
        module.report.outcome != Outcome::Returned) {
      continue;
    }
    const pei::PeImage &image = *module.image;
    const std::uint64_t pages = alignUp(image.sizeOfImage(), kPage) / kPage;
    const std::uint64_t base = foundation_->takePages(pages, kBootServicesCode);
    if (base == 0) {
      module.report.detail = "no permanent memory left for its shadow copy";
      continue;
    }
    const auto at = static_cast<std::uint32_t>(base);
    const std::vector<std::uint8_t> bytes = image.relocatedTo(at);
    machine_->write(at, bytes);
    machine_->trapInstructions(at, bytes);
    module.shadowBase = at;
    module.shadowSize = static_cast<std::uint32_t>(pages * kPage);
    module.report.shadowAddress = at;
    report.log.push_back("shadow " + module.report.uiName + " at " +
                         hex(at, 8));
    machine_->announceImage(displayName(module.report) + ".shadow",
                            image.imageBase(), at, module.shadowSize);
    machine_->setStack(stackTop_);
    runEntry(module, at + image.entryRva(), true, report);
  }
}

// The volumes the file services search: the boot volume (the one holding
// the PEI core, when one does) first, then the others in the order found.
void Bench::announceVolumes() {
  pei::FirmwareFiles &files = foundation_->files();
  for (const Placed &placed : placed_) {
    const auto modules = volume::peims(placed.volume);
    if (placed.base != 0 &&
        std::any_of(modules.begin(), modules.end(),
                    [](const volume::Peim &peim) { return peim.core; })) {
      files.addVolume(pei::GuestAddress{placed.base});
    }
  }
  for (const Placed &placed : placed_) {
    if (placed.base != 0) {
      files.addVolume(pei::GuestAddress{placed.base});
    }
  }
  // Decoded sections take pages of the HOB list's free memory.
  files.setAllocator(
      [this](std::uint32_t size) -> std::optional<std::uint32_t> {
        const std::uint64_t base = foundation_->takePages(
            (std::uint64_t{size} + kPage - 1) / kPage, kBootServicesData);
        if (base == 0) {
          return std::nullopt;
        }
        return static_cast<std::uint32_t>(base);
      });
}

void Bench::dispatchPasses(RunReport &report) {
  for (Placed &placed : placed_) {
    for (const volume::Guid &name : volume::apriori(placed.volume)) {
      for (Module &module : modules_) {
        if (!ended_ && &placed_[module.volume] == &placed &&
            module.report.name == name && dispatchable(module)) {
          dispatch(module, report);
        }
      }
    }
  }
  while (!ended_) {
    bool progress = false;
    for (Module &module : modules_) {
      if (ended_) {
        break;
      }
      if (dispatchable(module)) {
        dispatch(module, report);
        progress = true;
      }
    }
    if (progress || ended_) {
      continue;
    }
    if (foundation_->memoryInstalled()) {
      break;
    }
    // Nothing installed memory: do what a memory-initialisation module
    // would, and carry on with the modules that wait for it.
    const std::uint64_t begin = kInstalledMemory;
    if (foundation_->installMemory(begin, options_.memorySize).isError()) {
      report.log.push_back("the bench could not install " +
                           std::to_string(options_.memorySize) +
                           " bytes of permanent memory at " + hex(begin, 8));
      break;
    }
    report.memoryByBench = true;
    report.log.push_back(
        "no module installed permanent memory by the end of the pre-memory "
        "passes: the bench installs " +
        std::to_string(options_.memorySize >> 20) + " MiB at " + hex(begin, 8) +
        ", as a memory-initialisation module would");
    std::vector<std::uint8_t> resource(40, 0);
    common::le::store(resource.data() + 16, 4, kResourceSystemMemory);
    common::le::store(resource.data() + 20, 4, kResourceTested);
    common::le::store(resource.data() + 24, 8, begin);
    common::le::store(resource.data() + 32, 8, options_.memorySize);
    foundation_->addHob(pei::hob::kResourceDescriptor, resource);
    switchMemory(report);
    shadowRegistered(report);
  }
}

// "at PlatformPei +0x2DD9: ": the module and offset of an address in one.
std::string Bench::where(std::uint32_t address) {
  const Module *module = moduleAt(address);
  if (module == nullptr) {
    return "";
  }
  const std::uint32_t base =
      module->shadowSize != 0 &&
              address - module->shadowBase < module->shadowSize
          ? module->shadowBase
          : module->report.address;
  return "at " + displayName(module->report) +
         (base == module->shadowBase ? " (shadow)" : "") + " +" +
         hex(address - base, 4) + ": ";
}

// What a module that did not return last did at the platform's edges: the
// last access nobody models that it made, and the last service it called.
std::string Bench::lastTouched(const Module &module) const {
  std::string text;
  const auto &accesses = machine_->space().unmodelledAccesses();
  for (auto it = accesses.rbegin(); it != accesses.rend(); ++it) {
    if (module.covers(it->instruction)) {
      text += "; its last unmodelled access: " +
              bus::describeAccess(it->space, it->write, it->address, it->size,
                                  it->value) +
              (it->write ? "" : " answered " + hex(it->value)) + " at " +
              hex(it->instruction, 8);
      break;
    }
  }
  if (!module.lastService.empty()) {
    text += "; its last service call: " + module.lastService;
  }
  return text;
}

// --- configuration tokens ---------------------------------------------------

// The PCD PPI a volume's PCD module installs: its SetPtr (the 20th of its
// functions, none taking an interface pointer) is probed at its first
// instruction and at the caller's return address, so every token a module
// sets is recorded with the genuine answer, without a byte of the PCD
// module changed.
void Bench::watchPcd(const pei::Foundation::Ppi &ppi) {
  constexpr std::uint32_t kSetPtr = 19;
  if (ppi.guid != efi::guids::kPcdPpi || ppi.installer.empty()) {
    return;
  }
  pcdPpi_ = ppi.interface.value;
  const std::uint32_t setPtr =
      machine_->read32(ppi.interface.value + 4 * kSetPtr);
  machine_->addProbe(setPtr, [this](machine::Machine &m) {
    const std::uint32_t esp = m.registers().esp;
    const std::uint32_t back = m.read32(esp);
    const std::uint32_t sizeAt = m.read32(esp + 8);
    const Module *caller = moduleAt(back);
    if (caller == nullptr || caller->covers(m.registers().eip)) {
      return; // the PCD module's own calls
    }
    TokenWrite write;
    write.module = caller->report.uiName;
    write.token = m.read32(esp + 4);
    write.sizeAsked = sizeAt ? m.read32(sizeAt) : 0;
    tokenWrites_.push_back(write);
    const std::size_t index = tokenWrites_.size() - 1;
    m.addProbe(back, [this, index, sizeAt](machine::Machine &again) {
      TokenWrite &pending = tokenWrites_[index];
      if (pending.status) {
        return; // an earlier call from the same place, already answered
      }
      pending.status = again.registers().eax;
      if (sizeAt != 0) {
        pending.sizeAfter = again.read32(sizeAt);
      }
    });
  });
}

// What the database holds afterwards for every token a module set, read
// through the PCD PPI's GetSize and GetPtr as a module would.
void Bench::readTokens(RunReport &report) {
  constexpr std::uint32_t kGetPtr = 5;
  constexpr std::uint32_t kGetSize = 7;
  report.tokenWrites = tokenWrites_;
  if (!pcdPpi_) {
    return;
  }
  std::vector<std::uint32_t> tokens;
  for (const TokenWrite &write : tokenWrites_) {
    if (std::find(tokens.begin(), tokens.end(), write.token) == tokens.end()) {
      tokens.push_back(write.token);
    }
  }
  for (std::uint32_t token : tokens) {
    try {
      machine_->setStack(stackTop_);
      const std::uint32_t size = machine_->call(
          "PcdPpi GetSize", machine_->read32(*pcdPpi_ + 4 * kGetSize), {token});
      const std::uint32_t at = machine_->call(
          "PcdPpi GetPtr", machine_->read32(*pcdPpi_ + 4 * kGetPtr), {token});
      TokenValue value{token, size, {}, {}};
      std::uint32_t asked = 0;
      for (const TokenWrite &write : tokenWrites_) {
        if (write.token == token) {
          asked = std::max(asked, write.sizeAsked);
        }
      }
      if (at != 0 && size <= 4096) {
        value.bytes = machine_->guestRead(at, size, "the token's value");
        if (asked > size && asked <= 4096) {
          value.reach = machine_->guestRead(at, asked, "the token's value");
        }
      }
      report.tokens.push_back(std::move(value));
    } catch (const machine::GuestFault &fault) {
      report.log.push_back("token " + std::to_string(token) +
                           ": the PCD PPI could not be read: " + fault.what());
    }
  }
}

// --- the debug console ------------------------------------------------------

void Bench::mapConsole() {
  bus::AddressSpace &space = machine_->space();
  auto write = [this](std::uint64_t, unsigned, std::uint64_t value) {
    consoleByte(static_cast<std::uint8_t>(value));
  };
  space.mapPorts(kDebugPort, 1,
                 {.name = "debug console",
                  .registers = {{.name = "debug console",
                                 .length = 1,
                                 .widths = bus::kByte,
                                 .read =
                                     [](std::uint64_t, unsigned) {
                                       return std::uint64_t{kDebugPortPresent};
                                     },
                                 .write = write}}});
  auto zero = [](std::uint64_t, unsigned) { return std::uint64_t{0}; };
  auto ignore = [](std::uint64_t, unsigned, std::uint64_t) {};
  bus::RegisterBlock serial{.name = "serial port"};
  serial.registers.push_back({.name = "transmit",
                              .offset = 0,
                              .length = 1,
                              .widths = bus::kByte,
                              .read = zero,
                              .write = write});
  for (std::uint64_t offset = 1; offset < 8; ++offset) {
    serial.registers.push_back(
        {.name = offset == 5 ? "line status" : "serial register",
         .offset = offset,
         .length = 1,
         .widths = bus::kByte,
         .read = offset == 5 ? bus::ReadHandler([](std::uint64_t, unsigned) {
           return kLineStatusEmpty;
         })
                             : bus::ReadHandler(zero),
         .write = ignore});
  }
  space.mapPorts(kSerialPort, 8, std::move(serial));
}

void Bench::consoleByte(std::uint8_t byte) {
  if (byte == '\r') {
    return;
  }
  if (byte != '\n') {
    if (console_.size() < 4096) {
      console_.push_back(static_cast<char>(byte));
    }
    return;
  }
  Module *module = moduleAt(machine_->space().instruction());
  if (module == nullptr) {
    module = current_;
  }
  if (module != nullptr) {
    module->report.debugOutput.push_back(console_);
  }
  if (log_ != nullptr) {
    log_->push_back("  [" +
                    (module ? module->report.uiName : std::string("?")) + "] " +
                    console_);
  }
  console_.clear();
}

// --- the transport a module published ---------------------------------------

bool Bench::transportPublished() const {
  return foundation_->locate(efi::guids::kTpmTransportPpi).has_value();
}

Bench::Exchange Bench::execute(std::span<const std::uint8_t> command) {
  const auto ppi = foundation_->locate(efi::guids::kTpmTransportPpi);
  if (!ppi) {
    throw std::logic_error("no module published TpmTransportPpi");
  }
  if (command.size() > kCallerCommandSize) {
    throw std::invalid_argument("command of " + std::to_string(command.size()) +
                                " bytes: the bench's buffer holds at most " +
                                std::to_string(kCallerCommandSize));
  }
  constexpr std::uint32_t kCommand = kCallerBuffers;
  constexpr std::uint32_t kResponse = kCallerBuffers + kCallerCommandSize;
  constexpr std::uint32_t kLength = kResponse + kCallerResponseSize;
  machine_->write(kCommand, command);
  machine_->write(kResponse, std::vector<std::uint8_t>(kCallerResponseSize, 0));
  machine_->write32(kLength, kCallerResponseSize);
  const std::uint32_t execute = machine_->guestRead32(
      ppi->interface.value, "TpmTransportPpi's Execute slot");
  machine_->setStack(stackTop_);
  Exchange result;
  result.efiStatus = machine_->call("TpmTransportPpi.Execute", execute,
                                    {0, 0, kCommand,
                                     static_cast<std::uint32_t>(command.size()),
                                     kResponse, kLength});
  const std::vector<std::uint8_t> header = machine_->read(kResponse, 6);
  const std::uint32_t size = std::uint32_t{header[2]} << 24 |
                             std::uint32_t{header[3]} << 16 |
                             std::uint32_t{header[4]} << 8 | header[5];
  result.response = machine_->read(
      kResponse,
      size >= 10 && size <= kCallerResponseSize ? size : kCallerResponseSize);
  return result;
}

// --- the run ----------------------------------------------------------------

RunReport Bench::run() {
  const auto started = std::chrono::steady_clock::now();
  RunReport report;
  log_ = &report.log;
  foundation_->setLog([&report](const std::string &line) {
    report.log.push_back("  " + line);
  });
  foundation_->setServiceListener([this](const char *name, std::uint32_t from) {
    Module *module = moduleAt(from);
    if (module == nullptr) {
      module = current_;
    }
    if (module != nullptr) {
      ++module->report.services[name];
      module->lastService = name;
    }
  });
  foundation_->setInstallerNamer([this](std::uint32_t from) {
    Module *module = moduleAt(from);
    if (module == nullptr) {
      module = current_;
    }
    return module ? displayName(module->report) : std::string("?");
  });
  foundation_->setInstallListener(
      [this](const pei::Foundation::Ppi &ppi) { watchPcd(ppi); });
  foundation_->setShadowRegistrar([this](pei::GuestAddress file) {
    Module *module = moduleWithFile(file.value);
    if (module == nullptr) {
      return pei::EfiStatus{efi::kNotFound};
    }
    if (module->report.shadowRequested || module->shadowBase != 0) {
      return pei::EfiStatus{efi::kAlreadyStarted};
    }
    module->report.shadowRequested = true;
    return pei::EfiStatus{efi::kSuccess};
  });
  foundation_->placeHobList(kTemporaryRam,
                            kTemporaryRam + kTemporaryRamSize - kStackSize);
  placeVolumes(report);
  announceVolumes();
  dispatchPasses(report);
  readTokens(report);
  finish(report);
  log_ = nullptr;
  foundation_->setLog({});
  report.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started)
          .count();
  return report;
}

void Bench::finish(RunReport &report) {
  for (Module &module : modules_) {
    if (module.report.outcome == Outcome::NotDispatched && !module.done) {
      module.report.detail =
          "its dependency expression " + module.report.depex + " never held";
    }
  }
  for (const bus::UnmodelledAccess &access :
       machine_->space().unmodelledAccesses()) {
    if (Module *module = moduleAt(access.instruction)) {
      if (module->report.unmodelled.size() < 64) {
        module->report.unmodelled.push_back(access);
      }
      ++module->report.unmodelledCount;
    }
  }
  report.unmodelledCount = machine_->space().unmodelledCount();
  for (const pei::Foundation::Ppi &ppi : foundation_->ppis()) {
    for (Module &module : modules_) {
      if (!ppi.installer.empty() &&
          displayName(module.report) == ppi.installer) {
        module.report.ppisInstalled.push_back(ppi.guid);
      }
    }
    report.ppis.push_back(
        {ppi.guid, ppi.descriptor.value, ppi.interface.value,
         ppi.installer.empty() ? std::string("platform") : ppi.installer});
  }
  report.memory = foundation_->memoryInstalled();
  if (foundation_->hobList()) {
    try {
      report.hobList = foundation_->hobList()->bytes();
    } catch (const std::exception &error) {
      report.log.push_back(std::string("the HOB list: ") + error.what());
    }
  }
  for (Module &module : modules_) {
    report.peims.push_back(module.report);
  }
  if (const auto reset = foundation_->reset()) {
    report.ending = reset->service + " (type " + std::to_string(reset->type) +
                    ") ended the run";
  } else if (const auto ipl = foundation_->locate(efi::guids::kDxeIplPpi)) {
    report.dxeIpl = true;
    report.ending = "the DXE IPL PPI is installed (interface " +
                    hex(ipl->interface.value, 8) +
                    "): PEI is done; DXE is not run";
  } else {
    report.ending = "no module left that can be dispatched, and no DXE IPL PPI";
  }
}

} // namespace bench
