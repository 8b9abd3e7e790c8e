// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace corvane {

// Makes the views' C++ types (Sparkline, the InputMode singleton) available as
// `import Corvane.Screens.Native`. Call once before loading the views.
void registerNativeTypes();

}  // namespace corvane
