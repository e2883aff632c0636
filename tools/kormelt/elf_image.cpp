#include "tools/kormelt/elf_image.h"

#include <cstdint>
#include <limits>

namespace kormelt::tool {
namespace {

// The identification bytes at the start of every ELF file.
constexpr size_t EI_NIDENT = 16;
constexpr size_t EI_CLASS = 4;
constexpr size_t EI_DATA = 5;
constexpr size_t EI_VERSION = 6;
constexpr uint8_t ELF_MAGIC[] = {0x7F, 'E', 'L', 'F'};
constexpr uint8_t ELFCLASS32 = 1;
constexpr uint8_t ELFCLASS64 = 2;
constexpr uint8_t ELFDATA2LSB = 1;
constexpr uint8_t ELFDATA2MSB = 2;
constexpr uint8_t EV_CURRENT = 1;

constexpr uint16_t ET_REL = 1;
constexpr uint16_t ET_EXEC = 2;
constexpr uint16_t ET_DYN = 3;
constexpr uint16_t ET_CORE = 4;
constexpr uint16_t PN_XNUM = 0xFFFF;
constexpr uint32_t PT_LOAD = 1;

// Where the fields lie in the file header and in a program header, which
// differ between the classes.
struct ElfLayout {
    int bits;
    size_t header_bytes;
    size_t address_bytes;  // of e_entry, e_phoff, p_offset, p_paddr, p_filesz, p_memsz
    size_t e_entry, e_phoff, e_phentsize, e_phnum;
    size_t phdr_bytes;
    size_t p_offset, p_paddr, p_filesz, p_memsz;
};
constexpr ElfLayout LAYOUT_32 = {32, 52, 4, 24, 28, 42, 44, 32, 4, 12, 16, 20};
constexpr ElfLayout LAYOUT_64 = {64, 64, 8, 24, 32, 54, 56, 56, 8, 24, 32, 40};
constexpr size_t E_TYPE = 16;
constexpr size_t E_MACHINE = 18;
constexpr size_t P_TYPE = 0;

struct Machine {
    uint16_t number;
    const char *name;
};
// The architectures firmware is most often built for, by e_machine.
constexpr Machine MACHINES[] = {
    {3, "x86"},     {8, "MIPS"},        {20, "PowerPC"}, {21, "64-bit PowerPC"}, {40, "ARM"},
    {62, "x86-64"}, {83, "AVR"},        {92, "OpenRISC"}, {105, "MSP430"},       {183, "AArch64"},
    {243, "RISC-V"}, {94, "Xtensa"},    {258, "LoongArch"},
};

std::string MachineName(uint16_t number) {
    for (const Machine &machine : MACHINES) {
        if (machine.number == number) {
            return machine.name;
        }
    }
    return "machine " + std::to_string(number);
}

class Reader {
public:
    Reader(const Bytes &file, bool big_endian) : file_(file), big_endian_(big_endian) {}

    // The unsigned number of width bytes at offset, which the caller has
    // checked lie in the file.
    uint64_t Number(size_t offset, size_t width) const {
        uint64_t value = 0;
        for (size_t i = 0; i < width; ++i) {
            const uint8_t byte = file_[offset + (big_endian_ ? i : width - 1 - i)];
            value = value << 8 | byte;
        }
        return value;
    }

private:
    const Bytes &file_;
    bool big_endian_;
};

// Whether offset..offset + count lies in a file of size bytes, without
// overflow however large the numbers.
bool InFile(uint64_t offset, uint64_t count, size_t size) { return offset <= size && count <= size - offset; }

std::string Hex(uint64_t value) { return AddressText(value); }

}  // namespace

bool ReadElf(const Bytes &file, ImageBuilder *builder, InputDetails *details, std::string *error) {
    if (file.size() < EI_NIDENT) {
        *error = "cut short: " + std::to_string(file.size()) + " bytes, less than the " + std::to_string(EI_NIDENT) +
                 " of an ELF identification";
        return false;
    }
    for (size_t i = 0; i < sizeof ELF_MAGIC; ++i) {
        if (file[i] != ELF_MAGIC[i]) {
            *error = "no ELF magic (7F 45 4C 46) at the start";
            return false;
        }
    }
    const uint8_t elf_class = file[EI_CLASS];
    const uint8_t data = file[EI_DATA];
    if (elf_class != ELFCLASS32 && elf_class != ELFCLASS64) {
        *error = "unknown ELF class " + std::to_string(elf_class) + " (1 is 32-bit, 2 is 64-bit)";
        return false;
    }
    if (data != ELFDATA2LSB && data != ELFDATA2MSB) {
        *error = "unknown ELF byte order " + std::to_string(data) + " (1 is little-endian, 2 big-endian)";
        return false;
    }
    if (file[EI_VERSION] != EV_CURRENT) {
        *error = "unknown ELF version " + std::to_string(file[EI_VERSION]);
        return false;
    }
    const ElfLayout &at = elf_class == ELFCLASS32 ? LAYOUT_32 : LAYOUT_64;
    const std::string bits = std::to_string(at.bits) + "-bit";
    if (file.size() < at.header_bytes) {
        *error = "cut short: " + std::to_string(file.size()) + " bytes, less than the " +
                 std::to_string(at.header_bytes) + " of a " + bits + " ELF header";
        return false;
    }
    const Reader read(file, data == ELFDATA2MSB);
    const auto type = static_cast<uint16_t>(read.Number(E_TYPE, 2));
    if (type == ET_REL) {
        *error = "an object file (ET_REL), not linked yet: nothing in it has a load address; give the linked program";
        return false;
    }
    if (type == ET_CORE) {
        *error = "a core dump (ET_CORE), not a program";
        return false;
    }
    if (type != ET_EXEC && type != ET_DYN) {
        *error = "unknown ELF file type " + std::to_string(type);
        return false;
    }
    const uint64_t phoff = read.Number(at.e_phoff, at.address_bytes);
    const auto phentsize = static_cast<size_t>(read.Number(at.e_phentsize, 2));
    const auto phnum = static_cast<size_t>(read.Number(at.e_phnum, 2));
    if (phnum == 0) {
        *error = "no program headers: nothing says which bytes load where";
        return false;
    }
    if (phnum == PN_XNUM) {
        *error = "more program headers than the header can count (PN_XNUM), which firmware never has";
        return false;
    }
    if (phentsize < at.phdr_bytes) {
        *error = "program headers of " + std::to_string(phentsize) + " bytes, less than the " +
                 std::to_string(at.phdr_bytes) + " of a " + bits + " program header";
        return false;
    }
    if (!InFile(phoff, uint64_t{phentsize} * phnum, file.size())) {
        *error = "the " + std::to_string(phnum) + " program headers at offset " + Hex(phoff) +
                 " lie past the end of the file (" + std::to_string(file.size()) + " bytes)";
        return false;
    }
    const uint64_t address_top =
        at.bits == 32 ? uint64_t{std::numeric_limits<uint32_t>::max()} : std::numeric_limits<uint64_t>::max();
    for (size_t n = 0; n < phnum; ++n) {
        const size_t header = static_cast<size_t>(phoff) + n * phentsize;
        if (read.Number(header + P_TYPE, 4) != PT_LOAD) {
            continue;
        }
        const uint64_t offset = read.Number(header + at.p_offset, at.address_bytes);
        const uint64_t paddr = read.Number(header + at.p_paddr, at.address_bytes);
        const uint64_t filesz = read.Number(header + at.p_filesz, at.address_bytes);
        const uint64_t memsz = read.Number(header + at.p_memsz, at.address_bytes);
        // Program headers are counted from 0, as readelf's segment mapping does.
        const std::string segment = "segment " + std::to_string(n) + " (PT_LOAD at " + Hex(paddr) + ")";
        if (filesz == 0) {
            continue;  // memory only, as .bss: nothing to program
        }
        if (filesz > memsz) {
            *error = segment + ": its file size " + std::to_string(filesz) + " exceeds its memory size " +
                     std::to_string(memsz);
            return false;
        }
        if (!InFile(offset, filesz, file.size())) {
            *error = segment + ": its " + std::to_string(filesz) + " bytes at offset " + Hex(offset) +
                     " lie past the end of the file (" + std::to_string(file.size()) + " bytes)";
            return false;
        }
        if (filesz - 1 > address_top - paddr) {
            *error = segment + ": its " + std::to_string(filesz) + " bytes run past the top of the " + bits +
                     " address space";
            return false;
        }
        std::string problem;
        if (!builder->Place(paddr, file.data() + offset, static_cast<size_t>(filesz), &problem)) {
            *error = segment + ": " + problem;
            return false;
        }
        ++details->records;
    }
    if (builder->runs() == 0) {
        *error = "no PT_LOAD segment with bytes in the file: nothing to program";
        return false;
    }
    details->start = read.Number(at.e_entry, at.address_bytes);
    details->kind = bits + (data == ELFDATA2MSB ? " big-endian" : " little-endian") + ", " +
                    MachineName(static_cast<uint16_t>(read.Number(E_MACHINE, 2)));
    return true;
}

}  // namespace kormelt::tool
