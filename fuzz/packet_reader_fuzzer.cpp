// PacketReader field reads in an order chosen by the input, over the rest of
// the input as a body. Each read must stay inside the body, consume exactly
// its encoding's size on success and follow the failure rules otherwise.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "harness.h"
#include "wire/packet_reader.h"

namespace {

[[noreturn]] void fail(const char* what, int kind) {
    std::fprintf(stderr, "PacketReader fault: %s (read kind %d)\n", what, kind);
    std::abort();
}

std::uint32_t big_endian(const unsigned char* p, std::size_t n) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < n; ++i) value = value << 8 | p[i];
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    // First byte: how many of the following bytes are the read program.
    const std::size_t program_size = std::min<std::size_t>(data[0], size - 1);
    const std::uint8_t* program = data + 1;
    const std::size_t body_size = std::min<std::size_t>(size - 1 - program_size, 0xFFFF);
    // A copy of exactly the body's size, so a read past it is caught.
    const std::string body(reinterpret_cast<const char*>(data + 1 + program_size), body_size);
    const auto* start = reinterpret_cast<const unsigned char*>(body.data());
    kivsdk::PacketReader reader(start, static_cast<std::uint16_t>(body_size));

    for (std::size_t step = 0; step < program_size; ++step) {
        const int kind = program[step] % 8;
        const std::size_t before = reader.remaining();
        const unsigned char* at = start + (body_size - before);
        std::size_t consumed = 0;
        bool ok = false;
        switch (kind) {
            case 0: {
                std::uint8_t value = 0xA5;
                ok = reader.read_byte(value);
                if (ok && value != at[0]) fail("wrong value", kind);
                if (!ok && value != 0xA5) fail("destination changed on failure", kind);
                consumed = 1;
                break;
            }
            case 1: {
                std::uint16_t value = 0xA5A5;
                ok = reader.read_uint16(value);
                if (ok && value != big_endian(at, 2)) fail("wrong value", kind);
                if (!ok && value != 0xA5A5) fail("destination changed on failure", kind);
                consumed = 2;
                break;
            }
            case 2: {
                std::int32_t value = 0x5A5A5A5A;
                ok = reader.read_int32(value);
                if (ok && static_cast<std::uint32_t>(value) != big_endian(at, 4))
                    fail("wrong value", kind);
                if (!ok && value != 0x5A5A5A5A) fail("destination changed on failure", kind);
                consumed = 4;
                break;
            }
            case 3: {
                double value = 0.5;
                ok = reader.read_float(value);
                if (ok) {
                    const std::uint32_t bits = big_endian(at, 4);
                    float expected = 0;
                    std::memcpy(&expected, &bits, sizeof expected);
                    const double widened = static_cast<double>(expected);
                    if (std::memcmp(&value, &widened, sizeof value) != 0 && value == value) {
                        fail("wrong value", kind);
                    }
                } else if (value != 0.5) {
                    fail("destination changed on failure", kind);
                }
                consumed = 4;
                break;
            }
            case 4: {
                double value = 0.25;
                ok = reader.read_double(value);
                if (ok) {
                    const std::uint64_t bits =
                        std::uint64_t{big_endian(at, 4)} << 32 | big_endian(at + 4, 4);
                    std::uint64_t stored = 0;
                    std::memcpy(&stored, &value, sizeof stored);
                    if (stored != bits) fail("wrong value", kind);
                } else if (value != 0.25) {
                    fail("destination changed on failure", kind);
                }
                consumed = 8;
                break;
            }
            case 5: {
                unsigned char raw[32];
                const std::size_t n = program[step] / 8 % 33;
                ok = reader.read_raw(raw, n);
                if (ok && n > 0 && std::memcmp(raw, at, n) != 0) fail("wrong bytes", kind);
                consumed = n;
                break;
            }
            case 6:
            case 7: {
                std::string value = "unchanged";
                const bool blob = kind == 7;
                ok = blob ? reader.read_blob16(value) : reader.read_string(value);
                const std::size_t prefix = blob ? 2 : 1;
                if (before < prefix) {
                    if (ok || reader.remaining() != before) fail("short prefix consumed", kind);
                    if (value != "unchanged") fail("destination changed on failure", kind);
                    continue;
                }
                const std::size_t n = blob ? big_endian(at, 2) : at[0];
                if (n > before - prefix) {
                    if (ok || reader.remaining() != before - prefix)
                        fail("missing text handled wrongly", kind);
                    if (value != "unchanged") fail("destination changed on failure", kind);
                    continue;
                }
                if (!ok || value.size() != n ||
                    value.compare(0, n, reinterpret_cast<const char*>(at + prefix), n) != 0) {
                    fail("wrong text", kind);
                }
                consumed = prefix + n;
                break;
            }
            default: break;
        }
        const std::size_t expected_after = ok ? before - consumed : before;
        if (ok && consumed > before) fail("read past the end", kind);
        if (!ok && consumed <= before) fail("a read that fits failed", kind);
        if (reader.remaining() != expected_after) fail("position moved wrongly", kind);
    }
    return 0;
}
