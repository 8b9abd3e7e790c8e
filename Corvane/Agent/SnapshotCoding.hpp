// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The model's snapshot as JSON, for the per-user agent's watch stream and the
// front ends that show it: every published field and derived value under the
// model's own field name. Optional values are left out while absent; a change
// message names only the fields that changed, and a field that became absent
// as null.

#include <memory>

#include <boost/json/object.hpp>

#include "Corvane/Model/AppSnapshot.hpp"

namespace corvane::SnapshotCoding {

// The whole snapshot.
boost::json::object encode(const AppSnapshot& snapshot);

// The snapshot `fields` describe, on top of `base` (the fields it leaves out
// keep the base's values, shared; null resets one). Without a base, fields left
// out keep their defaults. Throws DecodingError naming the field.
std::shared_ptr<const AppSnapshot> decode(const boost::json::object& fields, const AppSnapshot* base = nullptr);

// The fields of `after` that differ from `before`, and null for those `after`
// no longer has: what turns `before` into `after`.
boost::json::object changes(const boost::json::object& before, const boost::json::object& after);

}  // namespace corvane::SnapshotCoding
