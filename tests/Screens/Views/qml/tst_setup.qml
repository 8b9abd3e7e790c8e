// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import QtTest

// The tray menu's Connect/Disconnect rule, the setup checklist's banner for
// each state of the tunnel service, and the update dialog, against the bridge.
TestCase {
    id: test
    name: "Setup"
    when: windowShown

    property var window: null

    readonly property var servers: [
        { vps_id: 101, name: "Tokyo", public_ip: "127.0.0.11", hysteria2_url: "hysteria2://a@127.0.0.11:8443",
          reality_url: "vless://a@127.0.0.11:443", config_version: 1 }
    ]

    function initTestCase() {
        const component = Qt.createComponent("qrc:/Corvane/Screens/Main.qml")
        verify(component.status === Component.Ready, component.errorString())
        window = component.createObject(null)
        verify(window !== null)
        window.height = 1400
        window.show()
        verify(waitForRendering(window.contentItem))
    }

    function cleanupTestCase() {
        window.destroy()
        wait(50)
    }

    function init() {
        harness.setExtension("active")
        feed({})
        harness.clearCalls()
    }

    function feed(extra) {
        const s = { panelURL: "https://panel.example.com", signedIn: true, servers: servers }
        for (const key in extra) s[key] = extra[key]
        harness.feed(s)
        wait(30)
    }

    function item(name) {
        const found = findChild(window.contentItem, name) || findChild(window.overlay, name) || findChild(window, name)
        verify(found !== null, "no item " + name)
        return found
    }

    // --- Connect/Disconnect in the tray menu ------------------------------------------

    function test_connectEnablement_data() {
        const rows = []
        const add = (status, extension, working, signedIn, enabled, text) =>
            rows.push({ tag: [status, extension, working ? "working" : "idle", signedIn ? "in" : "out"].join(" "),
                        status: status, extension: extension, working: working, signedIn: signedIn,
                        enabled: enabled, text: text })
        // Working: never.
        for (const status of ["disconnected", "connecting", "connected", "reconnecting", "failed"])
            add(status, "active", true, true, false, status === "disconnected" || status === "failed" ? "Connect" : "Disconnect")
        // Connected, reconnecting and failed: always a way out (or a retry), whatever the service says.
        for (const extension of ["checking", "failed", "needsApproval", "needsMoveToApplications", "needsReboot", "active"]) {
            add("connected", extension, false, true, true, "Disconnect")
            add("reconnecting", extension, false, true, true, "Disconnect")
            add("failed", extension, false, true, true, "Connect")
        }
        // Disconnected and connecting: only with the service ready.
        for (const extension of ["checking", "failed", "needsApproval", "needsMoveToApplications", "needsReboot"]) {
            add("disconnected", extension, false, true, false, "Connect")
            add("connecting", extension, false, true, false, "Disconnect")
        }
        add("disconnected", "active", false, true, true, "Connect")
        add("connecting", "active", false, true, true, "Disconnect")
        // Signed out there is nothing to connect with.
        add("disconnected", "active", false, false, false, "Connect")
        return rows
    }

    function test_connectEnablement(data) {
        harness.setExtension(data.extension, data.extension === "failed" ? "not running" : "")
        feed({ status: data.status, working: data.working, signedIn: data.signedIn })
        compare(bridge.connectEnabled, data.enabled)
        compare(bridge.connectButtonText, data.text)
    }

    // The window's Connect follows the tray's rule, and while it cannot be used it
    // can still be focused and says why.
    function test_windowConnectFollowsTheService_data() {
        return [
            { tag: "checking", kind: "checking", usable: false, reason: "Checking the tunnel service\u2026" },
            { tag: "failed", kind: "failed", usable: false,
              reason: "The tunnel service is not available \u2014 see the setup step above." },
            { tag: "needsApproval", kind: "needsApproval", usable: false,
              reason: "Allow your user to use the tunnel service \u2014 see the setup step above." },
            { tag: "active", kind: "active", usable: true, reason: "" },
        ]
    }

    function test_windowConnectFollowsTheService(data) {
        harness.setExtension(data.kind, data.kind === "failed" ? "not running" : "")
        feed({ status: "disconnected" })
        const connect = item("connectButton")
        compare(connect.usable, data.usable)
        compare(connect.reason, data.reason)
        if (!data.usable) compare(connect.Accessible.description, data.reason)
        connect.forceActiveFocus()
        verify(connect.activeFocus)
        mouseClick(connect)
        compare(harness.calls, data.usable ? ["toggleConnection"] : [])
    }

    function test_trayLines() {
        feed({ status: "disconnected" })
        compare(bridge.trayStatusLine, "Corvane: Disconnected")
        compare(bridge.trayRoute, "")
        compare(bridge.trayRates, "")
        compare(bridge.trayToolTip, "Corvane: Disconnected")
        feed({ status: "connected", activeOutbound: "proxy-1", trafficNow: { down: 2048, up: 512 } })
        compare(bridge.trayStatusLine, "Corvane: Connected")
        compare(bridge.trayRoute, "via Reality on Tokyo")
        compare(bridge.trayRates, "\u2193 2.0 KB/s   \u2191 512 B/s")
        compare(bridge.trayToolTip, "Corvane: Connected\nvia Reality on Tokyo")
    }

    // --- Setup checklist -----------------------------------------------------------------------

    function test_checklist_data() {
        const notRunning = "The Corvane tunnel service is not running."
        return [
            { tag: "checking", kind: "checking", title: "Checking the tunnel service\u2026", detail: "", action: "",
              icon: "refresh", call: "", command: "" },
            { tag: "failed", kind: "failed", text: notRunning, title: "The tunnel service is not available",
              detail: notRunning, action: "Try Again", icon: "warning", call: "activateExtension", command: "" },
            { tag: "needsApproval", kind: "needsApproval", title: "Allow your user to use the tunnel service",
              detail: "sudo usermod -aG corvane $USER", action: "Open Help", icon: "shield-alert",
              url: "file:///usr/share/doc/corvane/README.md", command: "sudo usermod -aG corvane $USER" },
            { tag: "needsMoveToApplications", kind: "needsMoveToApplications", title: "Install Corvane",
              detail: "sudo cmake --install .", action: "", icon: "warning", call: "", command: "sudo cmake --install ." },
            { tag: "needsReboot", kind: "needsReboot", title: "Restart the tunnel service to finish updating",
              detail: "sudo systemctl restart corvane-tunnel", action: "Check Again", icon: "warning",
              call: "activateExtension", command: "sudo systemctl restart corvane-tunnel" },
            { tag: "active", kind: "active", title: "", detail: "", action: "", icon: "", call: "", command: "" },
        ]
    }

    function test_checklist(data) {
        harness.setExtension(data.kind, data.text || "")
        wait(30)
        const banner = item("setupChecklist")
        compare(banner.visible, data.title !== "")
        compare(bridge.checklistTitle, data.title)
        compare(bridge.checklistIcon, data.icon)
        if (data.detail === "") compare(bridge.checklistDetail, "")
        else verify(bridge.checklistDetail.indexOf(data.detail) >= 0, bridge.checklistDetail)
        if (data.tag === "needsApproval") verify(bridge.checklistDetail.indexOf("log in again") >= 0)
        compare(bridge.checklistAction, data.action)
        if (data.title === "") return
        compare(item("checklistTitle").text, data.title)
        // The command can be selected and copied whole.
        compare(item("checklistCommandRow").visible, data.command !== "")
        if (data.command !== "") {
            const command = item("checklistCommand")
            compare(command.text, data.command)
            command.selectAll()
            compare(command.selectedText, data.command)
            mouseClick(item("copyChecklistCommand"))
            compare(harness.clipboardText(), data.command)
        }
        const action = item("checklistAction")
        compare(action.visible, data.action !== "")
        if (data.action === "") return
        mouseClick(action)
        if (data.url) {
            compare(harness.openedUrls, [data.url])
            compare(harness.calls, [])
        } else {
            compare(harness.calls, [data.call])
        }
    }

    // --- Update dialog -------------------------------------------------------------------------

    function test_updateDialog_data() {
        return [
            { tag: "available", blocking: false, title: "Update available",
              message: "Corvane 1.5.0 is available \u2014 you have 1.4.0",
              detail: "Update to get the latest fixes and improvements. You can keep using this version for now.",
              later: true },
            { tag: "required", blocking: true, title: "Update required",
              message: "This version (1.4.0) is no longer supported.",
              detail: "Download and install the latest version to keep using Corvane \u2014 you won't be able to connect until you update.",
              later: false },
        ]
    }

    function test_updateDialog(data) {
        const update = { updateAvailable: true, blocking: data.blocking, latest: "1.5.0", installed: "1.4.0" }
        feed({ update: update, updateURL: "https://downloads.example.com/corvane-1.5.0.tar.gz" })
        const dialog = item("updateDialog")
        tryCompare(dialog, "opened", true)
        compare(item("updateTitle").text, data.title)
        compare(item("updateMessage").text, data.message)
        compare(item("updateDetail").text, data.detail)
        compare(item("updateLater").visible, data.later)
        verify(item("updateDownload").enabled)

        mouseClick(item("updateDownload"))
        compare(harness.openedUrls, ["https://downloads.example.com/corvane-1.5.0.tar.gz"])
        if (data.later) {
            mouseClick(item("updateLater"))
            compare(harness.calls, ["dismissUpdate"])
        } else {
            // Nothing puts a required update off, not even a dismissal left from before.
            bridge.dismissUpdate()
            compare(harness.calls, [])
        }

        // Dismissed: an optional update goes away; a required one stays.
        feed({ update: update, updateDismissed: true, updateURL: "https://downloads.example.com/corvane-1.5.0.tar.gz" })
        tryCompare(dialog, "opened", data.blocking)
        feed({})
        tryCompare(dialog, "opened", false)
    }

    // A required update with no address to download it from: the dialog says so,
    // keeps the keyboard, and still lets the user out.
    function test_updateWithoutAddress() {
        const update = { update: { updateAvailable: true, blocking: true, latest: "2.0", installed: "1.4.0" } }
        feed(update)
        const dialog = item("updateDialog")
        tryCompare(dialog, "opened", true)
        verify(!item("updateDownload").enabled)
        verify(item("updateNoDownload").visible)
        const stays = []
        for (let i = 0; i < 8; ++i) {
            keyClick(i < 5 ? Qt.Key_Tab : Qt.Key_Backtab)
            stays.push(dialog.holds(window.activeFocusItem))
        }
        compare(stays, [true, true, true, true, true, true, true, true])
        keyClick(Qt.Key_Escape)
        verify(dialog.opened, "Escape put off a required update")

        // Show logs: the dialog steps aside while the drawer is open, and comes back.
        item("updateShowLogs").forceActiveFocus()
        keyClick(Qt.Key_Return)
        verify(window.logsOpen)
        verify(!dialog.visible)
        keyClick(Qt.Key_Escape)
        verify(!window.logsOpen)
        tryVerify(() => dialog.opened && dialog.holds(window.activeFocusItem))
        verify(item("updateQuit").visible)
        mouseClick(item("updateSignOut"))
        compare(harness.calls, ["signOut"])

        feed({})
        tryCompare(dialog, "opened", false)
    }

    // Escape puts off an optional update, as "Later" does.
    function test_escapePutsOffAnOptionalUpdate() {
        feed({ update: { updateAvailable: true, blocking: false, latest: "2.0", installed: "1.4.0" },
               updateURL: "https://downloads.example.com/corvane-2.0.tar.gz" })
        tryCompare(item("updateDialog"), "opened", true)
        verify(!item("updateNoDownload").visible)
        keyClick(Qt.Key_Escape)
        compare(harness.calls, ["dismissUpdate"])
    }
}
