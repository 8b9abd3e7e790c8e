// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Screens/InputMode.hpp"

#include <QGuiApplication>
#include <QKeyEvent>

namespace corvane {

InputMode::InputMode(QObject* parent) : QObject(parent) {
    // The application sees every event before any window or item does.
    if (QCoreApplication::instance()) QCoreApplication::instance()->installEventFilter(this);
}

void InputMode::setKeyboard(bool keyboard) {
    if (keyboard_ == keyboard) return;
    keyboard_ = keyboard;
    emit keyboardChanged();
}

bool InputMode::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::KeyPress:
        switch (static_cast<QKeyEvent*>(event)->key()) {
        case Qt::Key_Tab:
        case Qt::Key_Backtab:
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_Left:
        case Qt::Key_Right:
            setKeyboard(true);
            break;
        default:
            break;
        }
        break;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::TouchBegin:
        setKeyboard(false);
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace corvane
