// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Screens/SingleInstance.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QThread>

namespace corvane {
namespace {

constexpr QByteArrayView raiseRequest = "raise\n";
constexpr QByteArrayView raisedReply = "raised\n";

}  // namespace

SingleInstance::SingleInstance(QString folder, QObject* parent)
    : QObject(parent), folder_(std::move(folder)), lock_(folder_ + QStringLiteral("/app.lock")) {
    // The lock is held for the app's whole life: only a dead owner makes it stale.
    lock_.setStaleLockTime(0);
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* peer = server_.nextPendingConnection()) {
            connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
                // One short line; anything longer is not a client of ours.
                if (peer->bytesAvailable() > 64) {
                    peer->abort();
                    return;
                }
                if (!peer->canReadLine()) return;
                if (peer->readLine() == raiseRequest.toByteArray()) {
                    emit raiseRequested();
                    peer->write(raisedReply.toByteArray());
                    peer->flush();
                }
                peer->disconnectFromServer();
            });
        }
    });
}

SingleInstance::~SingleInstance() {
    server_.close();
    if (lock_.isLocked()) lock_.unlock();
}

QString SingleInstance::defaultFolder() {
    QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.isEmpty()) runtime = QDir::tempPath() + QStringLiteral("/corvane-%1").arg(::getuid());
    return runtime + QStringLiteral("/corvane");
}

qint64 SingleInstance::ownerPid() const {
    qint64 pid = 0;
    QString host, app;
    return lock_.getLockInfo(&pid, &host, &app) ? pid : 0;
}

namespace {

// A folder of this user's own, and no link: in a shared place such as /tmp another
// user could otherwise answer for the app and keep it from starting.
bool ownFolder(const QString& path) {
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
           info.st_uid == ::getuid();
}

}  // namespace

SingleInstance::Claim SingleInstance::claim() {
    QDir().mkpath(folder_);
    if (!ownFolder(folder_) || !ownFolder(QFileInfo(folder_).path())) {
        qWarning("corvane: %s is not a folder of this user's own: a second start will start a second app",
                 qPrintable(folder_));
        return Claim::first;
    }
    QFile::setPermissions(folder_, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    if (lock_.tryLock(0)) {
        // The lock is ours, so a socket that is there was left by a crash.
        QLocalServer::removeServer(socketPath());
        server_.setSocketOptions(QLocalServer::UserAccessOption);
        if (!server_.listen(socketPath())) {
            qWarning("corvane: cannot listen on %s (%s): a second start will not find this window",
                     qPrintable(socketPath()), qPrintable(server_.errorString()));
        }
        return Claim::first;
    }
    if (lock_.error() != QLockFile::LockFailedError) {
        // No lock to be had (an unwritable folder): run, as the only app we know of.
        qWarning("corvane: cannot lock %s: a second start will start a second app", qPrintable(folder_));
        return Claim::first;
    }
    // The running app may still be starting: give it a few seconds to listen.
    return askToRaise(5000) ? Claim::raised : Claim::noAnswer;
}

bool SingleInstance::askToRaise(int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        QLocalSocket socket;
        socket.connectToServer(socketPath());
        if (socket.waitForConnected(500)) {
            socket.write(raiseRequest.toByteArray());
            if (socket.waitForBytesWritten(1000)) {
                while (socket.bytesAvailable() < raisedReply.size() && socket.waitForReadyRead(1000)) {
                }
                if (socket.readAll() == raisedReply.toByteArray()) return true;
            }
        }
        QThread::msleep(100);
    }
    return false;
}

}  // namespace corvane
