// Feeds arbitrary text to the HID service-list decoder, which reads what the event system's
// socket sends: it must never crash, and whatever it accepts must survive a trip through the
// encoder unchanged from then on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/hid/hid.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quorvane::hid;
    const auto services = decodeServices(std::string(reinterpret_cast<const char*>(data), size));
    if (!services) return 0;
    const std::string encoded = encodeServices(*services);
    const auto again = decodeServices(encoded);
    if (!again || again->size() != services->size() || encodeServices(*again) != encoded) std::abort();
    return 0;
}
