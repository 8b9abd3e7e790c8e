// SPDX-License-Identifier: GPL-3.0-or-later
// Percent decoding, UTF-8 repair and base64: repaired text is valid and repairs to
// itself; base64 of any bytes decodes to them, and decoded base64 encodes back to
// text that decodes the same.
#include "CorvaneCore/Config/PercentCoding.hpp"
#include "CorvaneCore/Support/Base64.hpp"
#include "CorvaneCore/Support/UTF8.hpp"
#include "fuzz/FuzzSupport.hpp"

using namespace corvane;

CORVANE_FUZZ_TARGET {
    const auto in = fuzz::text(data, size);
    (void)PercentCoding::decode(in);
    (void)PercentCoding::formURLPairs(in);

    const std::string repaired = repairUTF8(in);
    if (!isValidUTF8(repaired)) fuzz::fail("repaired text is valid UTF-8", repaired);
    if (repairUTF8(repaired) != repaired) fuzz::fail("repairing valid text changes nothing", repaired);
    if (isValidUTF8(in) && repaired != in) fuzz::fail("valid text is left as it is", in);

    const std::string encoded = base64Encode(in);
    if (base64Decode(encoded) != std::string(in)) fuzz::fail("base64 decodes what it encoded", encoded);
    if (auto decoded = base64Decode(in)) {
        if (base64Decode(base64Encode(*decoded)) != decoded) fuzz::fail("decoded base64 encodes back", in);
    }
    return 0;
}
