// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>

namespace corvane {

// Whether the user is steering with the keyboard: set by Tab, Backtab and the
// arrow keys, cleared by a mouse press or a touch. The views draw a focus ring
// only while it is set, so a clicked button shows none.
class InputMode : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool keyboard READ keyboard WRITE setKeyboard NOTIFY keyboardChanged)

public:
    explicit InputMode(QObject* parent = nullptr);

    bool keyboard() const { return keyboard_; }
    void setKeyboard(bool keyboard);

signals:
    void keyboardChanged();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool keyboard_ = false;
};

}  // namespace corvane
