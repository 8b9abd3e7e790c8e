// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string_view>

#include <boost/json/fwd.hpp>
#include <boost/system/error_code.hpp>

namespace corvane {

// Parses JSON text like boost::json::parse, except that every number with a
// fraction or an exponent is read correctly rounded (std::from_chars): Boost
// 1.81's own reading can be an ulp or two off, so a double we wrote would not
// always read back as the same double. A number beyond a double's range reads
// as an infinity; the record decoders refuse those.
boost::json::value readJSON(std::string_view text, boost::system::error_code& ec);

}  // namespace corvane
