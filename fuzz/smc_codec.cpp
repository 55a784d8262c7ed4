// Codec on arbitrary input: decode any bytes as any type, encode any double as any type, and
// check that whatever encodes decodes back to the value the type can hold.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "shared/smc/four_cc.hpp"
#include "shared/smc/smc_data_codec.hpp"

using namespace quorvane;

namespace {

[[noreturn]] void fail(const char* what) {
    __builtin_printf("smc_codec: %s\n", what);
    std::abort();
}

// The value a type actually stores for x, mirroring the encoding's rounding.
double representable(double x, SMCDataType t) {
    switch (t.kind()) {
        case SMCDataType::Kind::fpe2: return std::round(x * 4.0) / 4.0;
        case SMCDataType::Kind::sp78: return std::round(x * 256.0) / 256.0;
        case SMCDataType::Kind::flt: return static_cast<double>(static_cast<float>(x));
        case SMCDataType::Kind::flag: return x != 0.0 ? 1.0 : 0.0;
        default: return std::round(x);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5) return 0;
    std::uint32_t raw = 0;
    std::memcpy(&raw, data, 4);
    // Mostly the known types, sometimes an arbitrary code.
    static constexpr std::uint32_t known[] = {smc_type_codes::fpe2, smc_type_codes::sp78, smc_type_codes::flt,
                                              smc_type_codes::ui8,  smc_type_codes::ui16, smc_type_codes::ui32,
                                              smc_type_codes::flag};
    const std::uint8_t selector = data[4];
    const SMCDataType type = SMCDataType::fromRaw(selector < 224 ? known[selector % 7] : raw);
    const std::span<const std::uint8_t> rest(data + 5, size - 5);

    // Decode: a finite number or an SMCCodecError, never anything else.
    try {
        const double v = SMCDataCodec::decode(rest, type);
        if (!std::isfinite(v)) fail("decode returned a non-finite value");
        // A decoded value always re-encodes to the same leading bytes (flag normalises to 0/1).
        const SMCBytes again = SMCDataCodec::encode(v, type);
        if (again.size() != type.size()) fail("encode size differs from type size");
        if (type.kind() != SMCDataType::Kind::flag && std::memcmp(again.begin(), rest.data(), again.size()) != 0) {
            // flt NaN payloads cannot reach here (decode refuses them); -0.0 and 0.0 differ in bits
            // only for flt, where the sign survives the round trip.
            fail("decode then encode changed the bytes");
        }
    } catch (const SMCCodecError& e) {
        (void)e.description();
    }

    // Encode: the payload's first eight bytes as a double.
    if (rest.size() >= 8) {
        double x = 0;
        std::memcpy(&x, rest.data(), 8);
        try {
            const SMCBytes b = SMCDataCodec::encode(x, type);
            if (b.size() != type.size()) fail("encode size differs from type size");
            const double back = SMCDataCodec::decode(b.span(), type);
            if (back != representable(x, type)) fail("encode then decode lost the value");
        } catch (const SMCCodecError& e) {
            (void)shortestDecimal(x);
            (void)e.description();
        }
    }

    (void)FourCC::string(raw);
    return 0;
}
