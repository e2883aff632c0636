// ELF input: the bytes a linked program loads, read by our own reader. No
// ELF library: this is all the tool needs of the format, it adds no
// dependency to the build, and every field of a file that may be hostile is
// checked here, against the file, before it is used.
#pragma once

#include <string>

#include "tools/kormelt/firmware.h"
#include "tools/kormelt/image.h"
#include "tools/kormelt/image_builder.h"

namespace kormelt::tool {

// Places the file bytes of each PT_LOAD segment of an ELF file, 32- or
// 64-bit, either byte order, through builder at its physical address
// (p_paddr: where the bytes load in flash, which for initialised data
// differs from the address they run at). The part of a segment beyond its
// file size (.bss) takes no image bytes. Notes the entry point and the
// file's kind in *details. False with a reason when a header is cut short
// or inconsistent, a segment lies outside the file or past the top of the
// address space, segments overlap, or nothing is loaded from the file.
bool ReadElf(const Bytes &file, ImageBuilder *builder, InputDetails *details, std::string *error);

}  // namespace kormelt::tool
