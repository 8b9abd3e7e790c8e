// SPDX-License-Identifier: GPL-3.0-or-later
// Share URLs from the panel: any text either parses or is refused with ShareUrlError,
// the same way each time.
#include <algorithm>

#include "CorvaneCore/Config/ShareUrlParser.hpp"
#include "fuzz/FuzzSupport.hpp"

using namespace corvane;

CORVANE_FUZZ_TARGET {
    const auto in = fuzz::text(data, size);
    std::optional<ShareUrl> first;
    try {
        first = ShareUrlParser::parse(in);
    } catch (const ShareUrlError&) {
    }
    try {
        const ShareUrl second = ShareUrlParser::parse(in);
        if (!first || !(second == *first)) fuzz::fail("parsing is repeatable", in);
    } catch (const ShareUrlError&) {
        if (first) fuzz::fail("parsing is repeatable", in);
    }
    if (const auto* h2 = first ? first->hysteria2() : nullptr) {
        if (auto pem = h2->pinnedCertPem()) {
            for (std::size_t start = 0; start < pem->size();) {
                const auto end = std::min(pem->find('\n', start), pem->size());
                if (end - start > 64) fuzz::fail("a pinned certificate's lines are 64 characters at most", *pem);
                start = end + 1;
            }
        }
    }
    (void)ShareUrlParser::parseCertParam(in);
    return 0;
}
