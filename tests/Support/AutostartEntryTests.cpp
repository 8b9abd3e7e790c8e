// SPDX-License-Identifier: GPL-3.0-or-later
// The start-at-login entry in a private config folder: ours is written and
// removed whole, the user's own is only hidden or shown, failures lose nothing.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "CorvaneCore/Support/AutostartEntry.hpp"
#include "TestSupport/ScopedEnv.hpp"
#include "tools/fleet/TempDir.hpp"

using namespace corvane;
using namespace corvane::testing;
namespace fs = std::filesystem;

namespace {

std::string read(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

const std::string templateText = "[Desktop Entry]\nType=Application\nName=Corvane\nExec=corvane --background\n";

class Autostart : public ::testing::Test {
protected:
    Autostart() { write(templateFile(), templateText); }
    fs::path templateFile() const { return dir_ / "share" / "corvane.desktop"; }
    fs::path entryFile() const { return dir_ / "config" / "autostart" / "corvane.desktop"; }
    AutostartEntry entry() const { return AutostartEntry(entryFile(), templateFile()); }
    // Nothing but the entry itself in its folder: no temporary file left behind.
    void expectOnlyTheEntry() const {
        for (const auto& file : fs::directory_iterator(entryFile().parent_path())) {
            EXPECT_EQ(file.path(), entryFile()) << "left behind";
        }
    }
    fleet::TempDir dir_;
};

}  // namespace

TEST_F(Autostart, OursIsWrittenFromTheTemplateAndRemovedWhole) {
    EXPECT_EQ(entry().status(), (AutostartStatus{.enabled = false, .edited = false, .path = entryFile()}));
    EXPECT_EQ(entry().set(true), (AutostartStatus{.enabled = true, .edited = false, .path = entryFile()}));
    EXPECT_TRUE(read(entryFile()).starts_with(templateText)) << read(entryFile());
    expectOnlyTheEntry();

    // A newer template replaces our unchanged copy.
    write(templateFile(), templateText + "X-GNOME-Autostart-Delay=5\n");
    EXPECT_TRUE(entry().set(true).enabled);
    EXPECT_NE(read(entryFile()).find("Delay=5"), std::string::npos);

    EXPECT_EQ(entry().set(false), (AutostartStatus{.enabled = false, .edited = false, .path = entryFile()}));
    EXPECT_FALSE(fs::exists(entryFile()));
    EXPECT_FALSE(entry().set(false).enabled);  // off twice is no error
}

TEST_F(Autostart, TheUsersOwnEntryKeepsItsEditsAndIsOnlyHiddenOrShown) {
    struct Case {
        const char* name;
        std::string text;  // the user's entry
        bool enabledBefore;
        const char* hiddenOff;  // the line that keeps it off
        const char* shownOn;    // a line that must read so once turned on again
    };
    const Case cases[] = {
        {"edited copy", templateText + "Exec=corvane --background --preview-logs\n", true, "Hidden=true", "Hidden=false"},
        {"hidden by the user", "[Desktop Entry]\nExec=mine\nHidden=true\n", false, "Hidden=true", "Hidden=false"},
        {"switched off in GNOME", "[Desktop Entry]\nExec=mine\nX-GNOME-Autostart-enabled=false\n", false,
         "X-GNOME-Autostart-enabled=false", "X-GNOME-Autostart-enabled=true"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write(entryFile(), c.text);
        EXPECT_EQ(entry().status(), (AutostartStatus{.enabled = c.enabledBefore, .edited = true, .path = entryFile()}));

        EXPECT_FALSE(entry().set(false).enabled);
        EXPECT_TRUE(fs::exists(entryFile()));
        EXPECT_NE(read(entryFile()).find(c.hiddenOff), std::string::npos) << read(entryFile());
        EXPECT_NE(read(entryFile()).find("Exec="), std::string::npos) << "the user's lines are gone";

        EXPECT_EQ(entry().set(true), (AutostartStatus{.enabled = true, .edited = true, .path = entryFile()}));
        EXPECT_NE(read(entryFile()).find(c.shownOn), std::string::npos) << read(entryFile());
        EXPECT_EQ(read(entryFile()).find("Exec=corvane --background\nX-Corvane"), std::string::npos) << "overwritten";
        expectOnlyTheEntry();
    }
}

TEST_F(Autostart, FailuresSayWhatAndLeaveTheEntryAsItWas) {
    // No template installed: nothing is written.
    fs::remove(templateFile());
    try {
        entry().set(true);
        ADD_FAILURE() << "no error without a template";
    } catch (const AutostartError& e) {
        EXPECT_NE(std::string(e.what()).find(templateFile().string()), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("reinstall"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(fs::exists(entryFile()));

    // The autostart folder is a file: the error names the entry, the file stays.
    write(templateFile(), templateText);
    write(dir_ / "config" / "autostart", "not a folder");
    try {
        entry().set(true);
        ADD_FAILURE() << "no error where the folder is a file";
    } catch (const AutostartError& e) {
        EXPECT_NE(std::string(e.what()).find(entryFile().string()), std::string::npos) << e.what();
    }
    EXPECT_EQ(read(dir_ / "config" / "autostart"), "not a folder");
}

TEST_F(Autostart, TheUsersEntryIsUnderXdgConfigHome) {
    {
        ScopedEnv config("XDG_CONFIG_HOME", (dir_ / "elsewhere").string());
        EXPECT_EQ(AutostartEntry::userEntryPath(), dir_ / "elsewhere" / "autostart" / "corvane.desktop");
    }
    ScopedEnv config("XDG_CONFIG_HOME", std::nullopt);
    ScopedEnv home("HOME", (dir_ / "home").string());
    EXPECT_EQ(AutostartEntry::userEntryPath(), dir_ / "home" / ".config" / "autostart" / "corvane.desktop");
}
