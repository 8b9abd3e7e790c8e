// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <future>

#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFileInfo>

#include "Corvane/Screens/SingleInstance.hpp"
#include "tools/fleet/TempDir.hpp"

using namespace corvane;

namespace {

QCoreApplication& app() {
    static int argc = 1;
    static char name[] = "single_instance_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication instance(argc, argv);
    return instance;
}

// Claims from another thread while this one serves the first app's socket.
SingleInstance::Claim claimBeside(const QString& folder) {
    auto second = std::async(std::launch::async, [folder] { return SingleInstance(folder).claim(); });
    while (second.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
        QCoreApplication::processEvents();
    }
    return second.get();
}

}  // namespace

TEST(SingleInstance, ASecondStartRaisesTheFirstAndALeftLockIsTakenOver) {
    app();
    fleet::TempDir dir;
    const QString folder = QString::fromStdString((dir.path() / "corvane").string());
    {
        SingleInstance first(folder);
        int raised = 0;
        QObject::connect(&first, &SingleInstance::raiseRequested, [&] { ++raised; });
        ASSERT_EQ(first.claim(), SingleInstance::Claim::first);
        EXPECT_EQ(QFileInfo(folder).permissions().toInt() & 0x0077, 0) << "the folder is the user's alone";
        EXPECT_EQ(claimBeside(folder), SingleInstance::Claim::raised);
        EXPECT_EQ(raised, 1);
    }
    // The first app is gone (its lock released): the next start is the app again.
    SingleInstance next(folder);
    EXPECT_EQ(next.claim(), SingleInstance::Claim::first);
}

TEST(SingleInstance, AFolderAnotherUserControlsIsNotTrusted) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand a folder to another user";
    app();
    fleet::TempDir dir;
    // Another user made the per-user folder first, as anyone can in /tmp.
    const auto shared = dir.path() / "corvane-1000";
    ASSERT_EQ(::mkdir(shared.c_str(), 0777), 0);
    ASSERT_EQ(::chown(shared.c_str(), 65534, 65534), 0);
    const QString folder = QString::fromStdString((shared / "corvane").string());
    SingleInstance app(folder);
    EXPECT_EQ(app.claim(), SingleInstance::Claim::first);
    EXPECT_FALSE(QFileInfo::exists(app.socketPath())) << "no socket another user could stand in for";
}
