// image-size IMAGE.efi IMAGE.map
//
// Prints where the bytes of an IA-32 image go: the file, its headers, each
// section, and each routine and constant of the linker map, largest first.
// A symbol's size is the distance to the next symbol of its section (or to
// the section's end), so alignment padding counts with the symbol before it.
#include "pe_image.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

namespace {

struct Symbol {
  std::string name;
  std::string section;
  std::uint32_t rva = 0;
  std::uint32_t size = 0;
};

// "?Send@@YAIPBX0PBEI@Z" -> "Send", "??$StoreBytes@I@?A0x1@@YAXPAXI@Z" ->
// "StoreBytes<I>": enough of a decorated name to find the routine in the
// source. Plain C names pass unchanged.
std::string ReadableName(const std::string &name) {
  if (name.rfind("??$", 0) == 0) {
    const auto end = name.find('@', 3);
    const auto args = name.find('@', end + 1);
    return name.substr(3, end - 3) + "<" +
           name.substr(end + 1, args - end - 1) + ">";
  }
  if (name.rfind('?', 0) == 0) {
    return name.substr(1, name.find('@') - 1);
  }
  return name;
}

std::vector<Symbol> Symbols(const pei::PeImage &image,
                            const pei::LinkerMap &map) {
  std::vector<Symbol> symbols;
  for (const auto &[name, address] : map.symbols()) {
    const std::uint32_t rva = address - image.imageBase();
    for (const auto &section : image.sections()) {
      if (rva >= section.virtualAddress &&
          rva < section.virtualAddress + section.virtualSize) {
        symbols.push_back({ReadableName(name), section.name, rva, 0});
      }
    }
  }
  std::sort(symbols.begin(), symbols.end(),
            [](const Symbol &a, const Symbol &b) { return a.rva < b.rva; });
  for (std::size_t i = 0; i < symbols.size(); ++i) {
    std::uint32_t end = 0;
    for (const auto &section : image.sections()) {
      if (section.name == symbols[i].section) {
        end = section.virtualAddress + section.virtualSize;
      }
    }
    if (i + 1 < symbols.size() && symbols[i + 1].section == symbols[i].section)
      end = symbols[i + 1].rva;
    symbols[i].size = end - symbols[i].rva;
  }
  return symbols;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: image-size IMAGE.efi IMAGE.map\n");
    return 2;
  }
  try {
    const auto image = pei::PeImage::load(argv[1]);
    const auto map = pei::LinkerMap::load(argv[2]);

    std::uint32_t headers = image.sizeOfImage();
    for (const auto &section : image.sections())
      headers = std::min(headers, section.virtualAddress);
    std::printf("%s: %zu bytes\n", argv[1], image.bytes().size());
    std::printf("  %-8s %5u\n", "headers", headers);
    for (const auto &section : image.sections()) {
      std::printf("  %-8s %5u in the file, %5u used\n", section.name.c_str(),
                  section.rawSize, section.virtualSize);
    }

    auto symbols = Symbols(image, map);
    std::stable_sort(
        symbols.begin(), symbols.end(),
        [](const Symbol &a, const Symbol &b) { return a.size > b.size; });
    std::printf("\nroutines and constants, largest first:\n");
    std::uint32_t code = 0, data = 0;
    for (const auto &s : symbols) {
      std::printf("  %5u  %-7s %s\n", s.size, s.section.c_str(),
                  s.name.c_str());
      (s.section == ".text" ? code : data) += s.size;
    }
    std::printf("\nreachable: %u bytes of code and %u bytes of constants in "
                "%zu symbols\n",
                code, data, symbols.size());
    return 0;
  } catch (const std::exception &e) {
    std::fprintf(stderr, "image-size: %s\n", e.what());
    return 1;
  }
}
