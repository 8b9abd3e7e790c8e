// SPDX-License-Identifier: GPL-3.0-or-later
// The diagnostic queue's bundles on disk: decode, encode, decode gives the same bundle.
#include "CorvaneCore/Diagnostics/DiagnosticQueue.hpp"
#include "fuzz/FuzzSupport.hpp"

using namespace corvane;

CORVANE_FUZZ_TARGET {
    fuzz::recordRoundTrip<QueuedBundle>(fuzz::text(data, size));
    return 0;
}
