// SPDX-License-Identifier: GPL-3.0-or-later
// Version numbers: comparison is an order (reflexive, antisymmetric) on any two texts.
#include "CorvaneCore/Panel/Version.hpp"
#include "fuzz/FuzzSupport.hpp"

using namespace corvane;

CORVANE_FUZZ_TARGET {
    const auto [a, b] = fuzz::halves(fuzz::text(data, size));
    (void)Version::release(a);
    if (Version::isVersion(a) != Version::parse(a).has_value()) fuzz::fail("isVersion agrees with parse", a);
    if (Version::compare(a, a) != 0) fuzz::fail("a version equals itself", a);
    const int ab = Version::compare(a, b), ba = Version::compare(b, a);
    if ((ab > 0) != (ba < 0) || (ab == 0) != (ba == 0)) fuzz::fail("comparison is antisymmetric", std::string(a) + " | " + std::string(b));
    if (Version::isNewer(a, b) && Version::isNewer(b, a)) fuzz::fail("of two versions one at most is newer", a);
    return 0;
}
