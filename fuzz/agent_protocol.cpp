// SPDX-License-Identifier: GPL-3.0-or-later
// The agent's socket protocol. The first line is read as a request line: a request
// has a name, its arguments are an object. The second is read as snapshot fields:
// a decoded snapshot encodes to fields that decode to the same snapshot, and the
// changes between two snapshots turn the first into the second.
#include "Corvane/Agent/AgentProtocol.hpp"
#include "Corvane/Agent/SnapshotCoding.hpp"
#include "CorvaneCore/Support/JSONReader.hpp"
#include "CorvaneCore/Support/JSONWriter.hpp"
#include "fuzz/FuzzSupport.hpp"

using namespace corvane;
namespace json = boost::json;

namespace {

std::shared_ptr<const AppSnapshot> decoded(std::string_view text) {
    boost::system::error_code ec;
    json::value v = readJSON(text, ec);
    if (ec || !v.is_object()) return nullptr;
    try {
        return SnapshotCoding::decode(v.as_object());
    } catch (const DecodingError&) {
        return nullptr;
    }
}

}  // namespace

CORVANE_FUZZ_TARGET {
    const auto [line, fields] = fuzz::halves(fuzz::text(data, size));
    json::value id;
    if (auto request = parseAgentRequest(line, id)) {
        if (!(request->id == id)) fuzz::fail("a request keeps its id", line);
    }

    const auto snapshot = decoded(fields);
    if (!snapshot) return 0;
    const json::object encoded = SnapshotCoding::encode(*snapshot);
    std::shared_ptr<const AppSnapshot> again;
    try {
        again = SnapshotCoding::decode(encoded);
    } catch (const DecodingError& e) {
        fuzz::fail("encoded snapshot fields decode", toJSONText(encoded) + "\n  " + e.what());
    }
    if (SnapshotCoding::encode(*again) != encoded) fuzz::fail("decode, encode, decode gives the same snapshot", toJSONText(encoded));

    // From the default snapshot to this one by its changes alone.
    const AppSnapshot empty;
    const json::object before = SnapshotCoding::encode(empty);
    try {
        const auto applied = SnapshotCoding::decode(SnapshotCoding::changes(before, encoded), &empty);
        if (SnapshotCoding::encode(*applied) != encoded) fuzz::fail("changes turn one snapshot into the other", toJSONText(encoded));
    } catch (const DecodingError& e) {
        fuzz::fail("changes decode", toJSONText(encoded) + "\n  " + e.what());
    }
    return 0;
}
