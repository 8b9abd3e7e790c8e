// SPDX-License-Identifier: GPL-3.0-or-later
// The window's views against the bridge fed with snapshots (no model).

#include <QQmlEngine>
#include <QtQuickTest>

#include "ViewHarness.hpp"

class Setup : public QObject {
    Q_OBJECT
public:
    Setup() = default;

public slots:
    void qmlEngineAvailable(QQmlEngine* engine) {
        // Each test file has its engine. The old harness goes first: it takes
        // its URL handlers with it.
        harness_.reset();
        harness_ = std::make_unique<corvane::ViewHarness>();
        harness_->install(*engine);
    }
    void cleanupTestCase() { harness_.reset(); }

private:
    std::unique_ptr<corvane::ViewHarness> harness_;
};

QUICK_TEST_MAIN_WITH_SETUP(views, Setup)

#include "tst_views.moc"
