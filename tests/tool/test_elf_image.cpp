// ELF files written here field by field, 32- and 64-bit in both byte
// orders, against the bytes the reader places; and the same files broken
// one field at a time, each refused with its reason.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/kormelt/elf_image.h"
#include "tools/kormelt/image.h"
#include "tools/kormelt/image_builder.h"

using namespace kormelt::tool;

namespace {

constexpr uint32_t PT_LOAD = 1;
constexpr uint32_t PT_NOTE = 4;
constexpr uint16_t ET_EXEC = 2;
constexpr uint16_t EM_ARM = 40;

// Where the fields lie, as the ELF format puts them; written out here
// again, apart from the reader's own table.
struct Fields {
    size_t header_bytes, phdr_bytes, word;
    size_t e_type, e_entry, e_phoff, e_phentsize, e_phnum;
    size_t p_type, p_offset, p_vaddr, p_paddr, p_filesz, p_memsz;
};
const Fields ELF32 = {52, 32, 4, 16, 24, 28, 42, 44, 0, 4, 8, 12, 16, 20};
const Fields ELF64 = {64, 56, 8, 16, 24, 32, 54, 56, 0, 8, 16, 24, 32, 40};

struct Segment {
    uint32_t type;
    uint64_t paddr;
    uint64_t vaddr;
    Bytes bytes;
    uint64_t memsz;
};

class ElfFile {
public:
    ElfFile(int bits, bool big_endian) : f_(bits == 32 ? ELF32 : ELF64), bits_(bits), big_(big_endian) {}

    ElfFile &Add(Segment segment) {
        segments_.push_back(std::move(segment));
        return *this;
    }

    // The header, the program headers right after it, then each segment's
    // bytes in turn.
    Bytes Build(uint64_t entry) const {
        Bytes file(f_.header_bytes + segments_.size() * f_.phdr_bytes, 0);
        const uint8_t ident[] = {0x7F, 'E', 'L', 'F', static_cast<uint8_t>(bits_ == 32 ? 1 : 2),
                                 static_cast<uint8_t>(big_ ? 2 : 1), 1};
        std::copy(std::begin(ident), std::end(ident), file.begin());
        Put(&file, f_.e_type, 2, ET_EXEC);
        Put(&file, f_.e_type + 2, 2, EM_ARM);
        Put(&file, f_.e_type + 4, 4, 1);
        Put(&file, f_.e_entry, f_.word, entry);
        Put(&file, f_.e_phoff, f_.word, f_.header_bytes);
        Put(&file, f_.e_phentsize, 2, f_.phdr_bytes);
        Put(&file, f_.e_phnum, 2, segments_.size());
        for (size_t n = 0; n < segments_.size(); ++n) {
            const Segment &s = segments_[n];
            const size_t at = Phdr(n);
            Put(&file, at + f_.p_type, 4, s.type);
            Put(&file, at + f_.p_offset, f_.word, file.size());
            Put(&file, at + f_.p_vaddr, f_.word, s.vaddr);
            Put(&file, at + f_.p_paddr, f_.word, s.paddr);
            Put(&file, at + f_.p_filesz, f_.word, s.bytes.size());
            Put(&file, at + f_.p_memsz, f_.word, s.memsz);
            file.insert(file.end(), s.bytes.begin(), s.bytes.end());
        }
        return file;
    }

    // Writes value, width bytes wide, in the file's byte order.
    void Put(Bytes *file, size_t at, size_t width, uint64_t value) const {
        for (size_t i = 0; i < width; ++i) {
            (*file)[at + (big_ ? width - 1 - i : i)] = static_cast<uint8_t>(value >> (8 * i));
        }
    }
    size_t Phdr(size_t n) const { return f_.header_bytes + n * f_.phdr_bytes; }
    const Fields &fields() const { return f_; }

private:
    const Fields &f_;
    int bits_;
    bool big_;
    std::vector<Segment> segments_;
};

const Bytes TEXT = {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B};
const Bytes DATA = {0xD0, 0xD1, 0xD2, 0xD3};

// The shape of linked firmware: code in flash, initialised data loaded
// after it but run in RAM, .bss in RAM only, and a note that loads nothing.
ElfFile Firmware(int bits, bool big_endian) {
    ElfFile elf(bits, big_endian);
    elf.Add({PT_LOAD, 0x08000000, 0x08000000, TEXT, TEXT.size()})
        .Add({PT_LOAD, 0x08000010, 0x20000000, DATA, DATA.size()})
        .Add({PT_LOAD, 0x20000004, 0x20000004, {}, 0x100})
        .Add({PT_NOTE, 0x30000000, 0x30000000, {0xEE, 0xEE}, 2});
    return elf;
}

struct Read {
    bool ok;
    std::string error;
    InputDetails details;
    Layout layout;
};

Read ReadBytes(const Bytes &file) {
    Read read{};
    ImageBuilder builder("segment");
    read.ok = kormelt::tool::ReadElf(file, &builder, &read.details, &read.error);
    if (read.ok) {
        read.layout = builder.Lay({BaseChoice::Kind::Lowest, 0});
    }
    return read;
}

TEST(Elf, LoadSegmentsArePlacedAtTheirPhysicalAddress) {
    struct Case {
        int bits;
        bool big_endian;
        const char *kind;
    };
    const Case cases[] = {
        {32, false, "32-bit little-endian, ARM"},
        {32, true, "32-bit big-endian, ARM"},
        {64, false, "64-bit little-endian, ARM"},
        {64, true, "64-bit big-endian, ARM"},
    };
    Bytes expected = TEXT;
    expected.resize(0x10, 0xFF);
    expected.insert(expected.end(), DATA.begin(), DATA.end());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.kind);
        const Read read = ReadBytes(Firmware(c.bits, c.big_endian).Build(0x08000009));
        ASSERT_TRUE(read.ok) << read.error;
        EXPECT_EQ(read.layout.problem, LayoutProblem::None);
        EXPECT_EQ(read.layout.base, 0x08000000u);
        EXPECT_EQ(read.layout.data, expected);
        EXPECT_EQ(read.details.start.value_or(0), 0x08000009u);
        EXPECT_EQ(read.details.kind, c.kind);
        EXPECT_EQ(read.details.records, 2u) << "the .bss and the note load nothing";
    }
}

TEST(Elf, OnlyTheFileSizeOfASegmentTakesImageBytes) {
    ElfFile elf(32, false);
    elf.Add({PT_LOAD, 0x1000, 0x1000, {1, 2, 3}, 0x400});
    const Read read = ReadBytes(elf.Build(0));
    ASSERT_TRUE(read.ok) << read.error;
    EXPECT_EQ(read.layout.data, (Bytes{1, 2, 3}));
}

TEST(Elf, SegmentsAbove4GiBIn64Bit) {
    ElfFile elf(64, false);
    elf.Add({PT_LOAD, 0x100000000ULL, 0, {7, 8}, 2});
    const Read read = ReadBytes(elf.Build(0));
    ASSERT_TRUE(read.ok) << read.error;
    EXPECT_EQ(read.layout.base, 0x100000000ULL);
    EXPECT_EQ(read.layout.data, (Bytes{7, 8}));
}

TEST(Elf, MalformedFilesAreRefusedWithTheirReason) {
    using Change = std::function<void(const ElfFile &, Bytes *)>;
    const auto field = [](size_t Fields::*member, uint64_t value, size_t width = 0) {
        return Change([member, value, width](const ElfFile &elf, Bytes *file) {
            elf.Put(file, elf.fields().*member, width != 0 ? width : elf.fields().word, value);
        });
    };
    const auto segment_field = [](size_t n, size_t Fields::*member, uint64_t value) {
        return Change([n, member, value](const ElfFile &elf, Bytes *file) {
            elf.Put(file, elf.Phdr(n) + elf.fields().*member, elf.fields().word, value);
        });
    };
    const auto cut_to = [](size_t size) { return Change([size](const ElfFile &, Bytes *file) { file->resize(size); }); };
    const auto byte_at = [](size_t at, uint8_t value) {
        return Change([at, value](const ElfFile &, Bytes *file) { (*file)[at] = value; });
    };
    struct Case {
        const char *what;
        int bits;
        Change change;
        const char *fragment;
    };
    const Case cases[] = {
        {"empty", 32, cut_to(0), "cut short: 0 bytes, less than the 16 of an ELF identification"},
        {"identification cut short", 64, cut_to(10), "cut short: 10 bytes"},
        {"no magic", 32, byte_at(1, 'e'), "no ELF magic"},
        {"unknown class", 32, byte_at(4, 3), "unknown ELF class 3"},
        {"unknown byte order", 64, byte_at(5, 0), "unknown ELF byte order 0"},
        {"unknown version", 32, byte_at(6, 2), "unknown ELF version 2"},
        {"32-bit header cut short", 32, cut_to(40), "40 bytes, less than the 52 of a 32-bit ELF header"},
        {"64-bit header cut short", 64, cut_to(60), "60 bytes, less than the 64 of a 64-bit ELF header"},
        {"an object file", 32, field(&Fields::e_type, 1, 2), "an object file (ET_REL)"},
        {"a core dump", 64, field(&Fields::e_type, 4, 2), "a core dump"},
        {"an unknown file type", 32, field(&Fields::e_type, 0xFE00, 2), "unknown ELF file type 65024"},
        {"no program headers", 32, field(&Fields::e_phnum, 0, 2), "no program headers"},
        {"the extended program header count", 64, field(&Fields::e_phnum, 0xFFFF, 2), "PN_XNUM"},
        {"program headers smaller than their kind", 32, field(&Fields::e_phentsize, 16, 2),
         "program headers of 16 bytes, less than the 32 of a 32-bit program header"},
        {"program headers past the end", 32, field(&Fields::e_phoff, 0xFFFFFF00),
         "program headers at offset 0xFFFFFF00 lie past the end of the file"},
        {"program header offset near 2^64", 64, field(&Fields::e_phoff, 0xFFFFFFFFFFFFFFF0ULL),
         "program headers at offset 0xFFFFFFFFFFFFFFF0 lie past the end"},
        {"file cut within the program headers", 64, cut_to(64 + 56 + 20), "program headers at offset 0x00000040 lie past"},
        {"segment past the end of the file", 32, segment_field(1, &Fields::p_offset, 0x10000),
         "segment 1 (PT_LOAD at 0x08000010): its 4 bytes at offset 0x00010000 lie past the end of the file"},
        {"huge p_filesz", 32, [](const ElfFile &elf, Bytes *file) {
             elf.Put(file, elf.Phdr(0) + elf.fields().p_filesz, 4, 0xFFFFFFF0);
             elf.Put(file, elf.Phdr(0) + elf.fields().p_memsz, 4, 0xFFFFFFF0);
         },
         "segment 0 (PT_LOAD at 0x08000000): its 4294967280 bytes at offset"},
        {"offset plus size past 2^64", 64, [](const ElfFile &elf, Bytes *file) {
             elf.Put(file, elf.Phdr(0) + elf.fields().p_offset, 8, 0xFFFFFFFFFFFFFFFFULL);
         },
         "lie past the end of the file"},
        {"file size beyond memory size", 64, segment_field(0, &Fields::p_memsz, 4),
         "segment 0 (PT_LOAD at 0x08000000): its file size 12 exceeds its memory size 4"},
        {"overlapping segments", 32, segment_field(1, &Fields::p_paddr, 0x08000008),
         "segment 1 (PT_LOAD at 0x08000008): address 0x08000008 was already filled by an earlier segment"},
        {"32-bit address overflow", 32, segment_field(0, &Fields::p_paddr, 0xFFFFFFF8),
         "segment 0 (PT_LOAD at 0xFFFFFFF8): its 12 bytes run past the top of the 32-bit address space"},
        {"64-bit address overflow", 64, segment_field(0, &Fields::p_paddr, 0xFFFFFFFFFFFFFFF8ULL),
         "its 12 bytes run past the top of the 64-bit address space"},
        {"segments farther apart than an image spans", 32, segment_field(1, &Fields::p_paddr, 0x09000000),
         "segment 1 (PT_LOAD at 0x09000000): address 0x09000003 lies 16 MiB or more from address 0x08000000"},
        {"nothing loaded from the file", 32, [](const ElfFile &elf, Bytes *file) {
             for (size_t n = 0; n < 2; ++n) {
                 elf.Put(file, elf.Phdr(n) + elf.fields().p_type, 4, PT_NOTE);
             }
         },
         "no PT_LOAD segment with bytes in the file"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const ElfFile elf = Firmware(c.bits, c.bits == 64);
        Bytes file = elf.Build(0);
        c.change(elf, &file);
        const Read read = ReadBytes(file);
        EXPECT_FALSE(read.ok);
        EXPECT_NE(read.error.find(c.fragment), std::string::npos) << read.error;
    }
}

}  // namespace
