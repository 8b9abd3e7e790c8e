// SPDX-License-Identifier: GPL-3.0-or-later
// String formats that the sing-box schema names, checked for real rather than ignored.
const net = require("node:net");

module.exports = {
  ipv4: (s) => net.isIPv4(s),
  ipv6: (s) => net.isIPv6(s),
  uuid: (s) => /^[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}$/.test(s),
  uri: (s) => URL.canParse(s),
};
