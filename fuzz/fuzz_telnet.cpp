// Feeds arbitrary server bytes to the client's side of rfc2217, split into
// reads where the input says, with the line settings asked halfway: the
// device's bytes never outnumber what came, the answers never pass their
// capacity, and the port's own buffers are never written past.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "link/rfc2217_client.h"

namespace {

constexpr uint8_t GUARD = 0xA5;
constexpr size_t GUARD_BYTES = 16;
constexpr size_t READ_BYTES = 256;  // what the port takes in one read

bool Intact(const uint8_t *guard) {
    for (size_t i = 0; i < GUARD_BYTES; ++i) {
        if (guard[i] != GUARD) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    kormelt::Rfc2217Client client;
    uint8_t settings[kormelt::RFC2217_SETTINGS_CAPACITY];
    bool asked = false;
    size_t at = 0;
    while (at < size) {
        // The first byte of each piece says how long the read is.
        const size_t length = data[at] % READ_BYTES + 1;
        ++at;
        const size_t count = length < size - at ? length : size - at;
        uint8_t device[READ_BYTES + GUARD_BYTES];
        uint8_t answer[kormelt::RFC2217_ANSWER_CAPACITY + GUARD_BYTES];
        for (uint8_t &b : device) {
            b = GUARD;
        }
        for (uint8_t &b : answer) {
            b = GUARD;
        }
        size_t device_count = 0;
        size_t answer_count = 0;
        client.Feed(data + at, count, device, &device_count, answer, kormelt::RFC2217_ANSWER_CAPACITY,
                    &answer_count);
        if (device_count > count || answer_count > kormelt::RFC2217_ANSWER_CAPACITY ||
            answer_count % kormelt::TELNET_NEGOTIATION_BYTES != 0 || !Intact(device + READ_BYTES) ||
            !Intact(answer + kormelt::RFC2217_ANSWER_CAPACITY)) {
            std::abort();
        }
        at += count;
        if (!asked && client.Negotiated()) {
            asked = client.LineSettings(settings, sizeof settings) > 0;
            if (!asked) {
                std::abort();
            }
        }
        if (client.SettingsAgreed() && !client.SettingsAnswered()) {
            std::abort();
        }
    }
    return 0;
}
