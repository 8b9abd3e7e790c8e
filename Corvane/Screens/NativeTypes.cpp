// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Screens/NativeTypes.hpp"

#include <QtQml/qqml.h>

#include "Corvane/Screens/InputMode.hpp"
#include "Corvane/Screens/Sparkline.hpp"

namespace corvane {

void registerNativeTypes() {
    constexpr const char* uri = "Corvane.Screens.Native";
    qmlRegisterType<Sparkline>(uri, 1, 0, "Sparkline");
    qmlRegisterSingletonType<InputMode>(uri, 1, 0, "InputMode",
                                        [](QQmlEngine*, QJSEngine*) -> QObject* { return new InputMode; });
}

}  // namespace corvane
