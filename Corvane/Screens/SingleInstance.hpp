// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <memory>

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

namespace corvane {

// One app per user: the first `corvane` holds a lock and listens on a socket
// in the user's runtime folder; a later one asks it to raise its window and
// ends. A lock left by a crashed app is taken over (the owner's pid is gone),
// and so is its socket.
class SingleInstance final : public QObject {
    Q_OBJECT

public:
    enum class Claim {
        first,    // this process is the app
        raised,   // the running app was asked to show its window
        noAnswer  // an app holds the lock but did not answer in time
    };

    // `folder`: private to the user ($XDG_RUNTIME_DIR/corvane).
    explicit SingleInstance(QString folder, QObject* parent = nullptr);
    ~SingleInstance() override;

    Claim claim();
    // The pid of the app holding the lock, when known.
    qint64 ownerPid() const;
    QString socketPath() const { return folder_ + QStringLiteral("/app.sock"); }

    // The folder: $XDG_RUNTIME_DIR/corvane, else a per-user temporary folder.
    static QString defaultFolder();

signals:
    void raiseRequested();

private:
    bool askToRaise(int timeoutMs);

    QString folder_;
    QLockFile lock_;
    QLocalServer server_;
};

}  // namespace corvane
