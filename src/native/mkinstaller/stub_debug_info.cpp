// Debugging sections of an installer stub, found in the section headers of
// its ELF or PE file. Every field is read through one checked reader: the
// headers of a damaged file may point anywhere.
#include "stub_debug_info.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

const uint32_t ELF_SECTION_NOBITS = 8;  // sh_type of a section without file data
const uint64_t PE_SECTION_HEADER = 40;  // bytes per entry of the section table
const uint64_t COFF_SYMBOL_SIZE = 18;   // the string table follows the symbols
const size_t SECTION_NAME_MAX = 64;     // longer names are no debugging sections of ours

// Little-endian fields of the file. A read outside it clears `ok` and gives 0.
struct reader_t {
  const std::string& file;  // the whole stub
  bool ok;                  // every read so far lay inside the file

  uint64_t at(uint64_t offset, unsigned bytes) {
    if (offset > file.size() || bytes > file.size() - offset) {
      ok = false;
      return 0;
    }
    uint64_t value = 0;
    for (unsigned i = 0; i < bytes; ++i) value |= (uint64_t)(unsigned char)file[offset + i] << (8 * i);
    return value;
  }

  // The NUL-terminated text at `offset`, at most `max` bytes of it.
  std::string text(uint64_t offset, size_t max) {
    if (offset >= file.size()) {
      ok = false;
      return "";
    }
    std::string out = file.substr(offset, max);
    return out.substr(0, out.find('\0'));
  }
};

bool is_debug_section(const std::string& name) {
  return name.rfind(".debug_", 0) == 0 || name.rfind(".zdebug_", 0) == 0;
}

// ELF: the section headers, named through the section-name string table.
uint64_t elf_debug_bytes(reader_t& r) {
  const bool wide = r.at(4, 1) == 2;  // ELFCLASS64
  const unsigned word = wide ? 8 : 4;
  const uint64_t table = r.at(wide ? 40 : 32, word);
  const uint64_t entry_size = r.at(wide ? 58 : 46, 2);
  const uint64_t count = r.at(wide ? 60 : 48, 2);
  const uint64_t names_index = r.at(wide ? 62 : 50, 2);
  if (!r.ok || table == 0 || table > r.file.size() || entry_size < (wide ? 64u : 40u)) return 0;
  const uint64_t names_at = r.at(table + names_index * entry_size + (wide ? 24 : 16), word);
  uint64_t total = 0;
  for (uint64_t i = 0; i < count && r.ok; ++i) {
    const uint64_t header = table + i * entry_size;
    const uint64_t name = r.at(header, 4);
    const uint64_t type = r.at(header + 4, 4);
    const uint64_t size = r.at(header + (wide ? 32 : 20), word);
    if (type != ELF_SECTION_NOBITS && is_debug_section(r.text(names_at + name, SECTION_NAME_MAX))) total += size;
  }
  return r.ok ? total : 0;
}

// PE: the section table after the optional header. A name longer than eight
// characters is "/N", N its offset in the COFF string table.
uint64_t pe_debug_bytes(reader_t& r) {
  const uint64_t nt = r.at(0x3c, 4);
  if (r.at(nt, 4) != 0x4550) return 0;  // "PE\0\0"
  const uint64_t count = r.at(nt + 6, 2);
  const uint64_t symbols_at = r.at(nt + 12, 4);  // 0 once stripped: no long names left
  const uint64_t strings_at = symbols_at + r.at(nt + 16, 4) * COFF_SYMBOL_SIZE;
  const uint64_t sections_at = nt + 24 + r.at(nt + 20, 2);
  uint64_t total = 0;
  for (uint64_t i = 0; i < count && r.ok; ++i) {
    const uint64_t header = sections_at + i * PE_SECTION_HEADER;
    std::string name = r.text(header, 8);
    if (symbols_at != 0 && name.size() > 1 && name[0] == '/')
      name = r.text(strings_at + std::strtoull(name.c_str() + 1, nullptr, 10), SECTION_NAME_MAX);
    // The raw data is padded to the file alignment; the virtual size is the content.
    const uint64_t content = r.at(header + 8, 4);
    const uint64_t raw = r.at(header + 16, 4);
    if (is_debug_section(name)) total += content != 0 && content < raw ? content : raw;
  }
  return r.ok ? total : 0;
}

}  // namespace

uint64_t stub_debug_bytes(const std::string& file) {
  reader_t r{file, true};
  if (file.compare(0, 4,
                   "\x7f"
                   "ELF") == 0 &&
      r.at(5, 1) == 1)
    return elf_debug_bytes(r);  // little-endian
  if (file.compare(0, 2, "MZ") == 0) return pe_debug_bytes(r);
  return 0;
}

void warn_about_stub_debug_info(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  if (!(content << in.rdbuf())) return;
  uint64_t bytes = stub_debug_bytes(content.str());
  if (bytes == 0) return;
  fprintf(stderr,
          "mkinstaller: warning: the stub %s carries %.1f MiB of debugging information (%llu bytes), and so "
          "will every installer made from it; pack the stripped stub (strip --strip-all, after objcopy "
          "--only-keep-debug to keep the information)\n",
          path.c_str(), (double)bytes / (1024.0 * 1024.0), (unsigned long long)bytes);
}
