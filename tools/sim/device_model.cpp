#include "tools/sim/device_model.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <iterator>

#include "protocol/crc16.h"
#include "protocol/hex.h"

namespace kormelt::sim {

namespace {

RequestKind KindOf(const std::vector<uint8_t> &payload) {
    const uint8_t command = payload[COMMAND_OFFSET];
    const size_t size = payload.size();
    if (command == CMD_IDENTIFY && size == IDENTIFY_REQUEST_BYTES) {
        return RequestKind::Identify;
    }
    if (command == CMD_RESTART && size == RESTART_REQUEST_BYTES) {
        return RequestKind::Restart;
    }
    if (command == CMD_ERASE && size == ERASE_REQUEST_BYTES) {
        return RequestKind::Erase;
    }
    if (command == CMD_PROGRAM && size == PROGRAM_REQUEST_BYTES) {
        return RequestKind::Program;
    }
    return RequestKind::Unknown;
}

std::vector<uint8_t> Reply(uint8_t command, uint8_t result) { return {command, result}; }

}  // namespace

std::string Hex(const std::vector<uint8_t> &bytes) { return HexText(bytes.data(), bytes.size()); }

Request ReadRequest(FrameEvent event, const uint8_t *decoded, size_t length, bool overflowed) {
    const std::vector<uint8_t> bytes(decoded, decoded + length);
    switch (event) {
    case FrameEvent::Frame: {
        std::vector<uint8_t> payload(bytes.begin(), bytes.end() - FRAME_CRC_BYTES);
        const RequestKind kind = KindOf(payload);
        return {kind, std::move(payload)};
    }
    case FrameEvent::Dropped:
        return {RequestKind::Short, bytes};
    case FrameEvent::Error:
    case FrameEvent::NeedMore:
        break;
    }
    return {overflowed ? RequestKind::Overlong : RequestKind::BadCrc, bytes};
}

bool Request::Decoded() const {
    return kind != RequestKind::BadCrc && kind != RequestKind::Short && kind != RequestKind::Overlong;
}

std::vector<uint8_t> DeviceModel::Answer(const Request &request) {
    const std::vector<uint8_t> &payload = request.bytes;
    switch (request.kind) {
    case RequestKind::Identify: {
        std::vector<uint8_t> reply(std::begin(ID_VERSION), std::end(ID_VERSION));
        reply.insert(reply.end(), identity_.text.begin(), identity_.text.end());
        if (identity_.length) {
            reply.resize(*identity_.length, 0x00);
        }
        return reply;
    }
    case RequestKind::Restart:
        return Reply(CMD_RESTART, REPLY_OK);
    case RequestKind::Erase:
        flash_.erased_blocks.push_back(payload[ERASE_BLOCK_OFFSET]);
        return Reply(CMD_ERASE, REPLY_OK);
    case RequestKind::Program: {
        const uint64_t address = PacketAddress(payload.data());
        const uint64_t end = address + PACKET_DATA_BYTES;
        if (end > FLASH_MAX_BYTES) {
            return Reply(CMD_PROGRAM, REPLY_REJECTED);
        }
        if (flash_.image.size() < end) {
            flash_.image.resize(static_cast<size_t>(end), ERASED_FLASH_BYTE);
        }
        std::copy(payload.begin() + PACKET_DATA_OFFSET, payload.end(),
                  flash_.image.begin() + static_cast<std::ptrdiff_t>(address));
        return Reply(CMD_PROGRAM, REPLY_OK);
    }
    case RequestKind::Unknown:
        return Reply(payload[COMMAND_OFFSET], REPLY_REJECTED);
    case RequestKind::BadCrc:
    case RequestKind::Short:
    case RequestKind::Overlong:
        break;
    }
    return {};  // frames that do not decode get no reply
}

}  // namespace kormelt::sim
