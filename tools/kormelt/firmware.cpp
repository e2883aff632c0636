#include "tools/kormelt/firmware.h"

#include "tools/kormelt/elf_image.h"
#include "tools/kormelt/intel_hex.h"
#include "tools/kormelt/srecord.h"

namespace kormelt::tool {

bool ReadFirmware(const Bytes &content, InputFormat format, ImageBuilder *builder, InputDetails *details,
                  std::string *error) {
    switch (format) {
    case InputFormat::Raw:
        if (content.empty()) {
            *error = "the file is empty";
            return false;
        }
        details->records = 1;
        return builder->Place(0, content.data(), content.size(), error);
    case InputFormat::IntelHex:
        return ReadIntelHex(std::string(content.begin(), content.end()), builder, details, error);
    case InputFormat::SRecord:
        return ReadSRecords(std::string(content.begin(), content.end()), builder, details, error);
    case InputFormat::Elf:
        return ReadElf(content, builder, details, error);
    }
    *error = "unknown input format";
    return false;
}

}  // namespace kormelt::tool
