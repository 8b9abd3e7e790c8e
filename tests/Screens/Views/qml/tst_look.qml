// SPDX-License-Identifier: GPL-3.0-or-later
import QtQuick
import QtTest
import Corvane.Screens

// How the window reads and where the keyboard goes: contrast in both themes,
// icons on scaled screens, the log drawer's lines and focus, and what
// assistive technology is told.
TestCase {
    id: test
    name: "Look"
    when: windowShown

    property var window: null

    readonly property var servers: [
        { vps_id: 101, name: "Tokyo", public_ip: "127.0.0.11", hysteria2_url: "hysteria2://a@127.0.0.11:8443",
          reality_url: "vless://a@127.0.0.11:443", config_version: 1 },
        { vps_id: 102, name: "Frankfurt", public_ip: "127.0.0.12", hysteria2_url: "hysteria2://a@127.0.0.12:8443",
          reality_url: "vless://a@127.0.0.12:443", config_version: 1 }
    ]
    readonly property var fleet: [{ vpsId: 101, name: "Tokyo" }, { vpsId: 102, name: "Frankfurt" }]

    function initTestCase() {
        const component = Qt.createComponent("qrc:/Corvane/Screens/Main.qml")
        verify(component.status === Component.Ready, component.errorString())
        window = component.createObject(null)
        verify(window !== null)
        window.height = 2600
        window.show()
        verify(waitForRendering(window.contentItem))
    }

    function cleanupTestCase() {
        harness.setColorScheme("light")
        window.destroy()
        wait(50)
    }

    function init() {
        window.logsOpen = false
        bridge.logFilter = 0
        feed({})
        harness.clearCalls()
    }

    function feed(extra) {
        const s = { panelURL: "https://panel.example.com", signedIn: true, servers: servers, lanSharePassword: "pw" }
        for (const key in extra) s[key] = extra[key]
        harness.feed(s)
        wait(30)
    }

    function item(name) {
        const found = findChild(window.contentItem, name) || findChild(window.overlay, name)
        verify(found !== null, "no item " + name)
        return found
    }

    function within(node, outer) {
        for (let p = node; p; p = p.parent) if (p === outer) return true
        return false
    }

    function descendants(root, keep) {
        const out = []
        const walk = (node) => {
            if (keep(node)) out.push(node)
            for (let i = 0; i < node.children.length; ++i) walk(node.children[i])
        }
        walk(root)
        return out
    }

    function firstText(root) {
        return descendants(root, (n) => n.visible && typeof n.text === "string" && n.font !== undefined
                                        && n.color !== undefined && n.lineCount !== undefined)[0]
    }

    // --- Contrast ------------------------------------------------------------------------

    function luminance(c) {
        const lin = (v) => v <= 0.03928 ? v / 12.92 : Math.pow((v + 0.055) / 1.055, 2.4)
        return 0.2126 * lin(c.r) + 0.7152 * lin(c.g) + 0.0722 * lin(c.b)
    }
    function ratio(a, b) {
        const x = luminance(a), y = luminance(b)
        return (Math.max(x, y) + 0.05) / (Math.min(x, y) + 0.05)
    }

    // Text at least 4.5:1 against what it sits on, controls and their states at least 3:1.
    readonly property var themePairs: [
        { fg: "text", bg: ["background", "card", "raised"], min: 4.5 },
        { fg: "secondaryText", bg: ["background", "card", "raised"], min: 4.5 },
        { fg: "accent", bg: ["background", "card", "raised"], min: 4.5 },        // quiet buttons, badges
        { fg: "good", bg: ["card", "raised"], min: 4.5 },                        // "Currently active", "Active"
        { fg: "warn", bg: ["background", "card", "raised", "warnSurface"], min: 4.5 },
        { fg: "bad", bg: ["background", "card", "badSurface"], min: 4.5 },
        { fg: "debugText", bg: ["card"], min: 4.5 },                             // debug log lines
        { fg: "accentText", bg: ["accent"], min: 4.5 },                          // on a filled control
        { fg: "switchOff", bg: ["background", "card"], min: 3 },
        { fg: "switchKnob", bg: ["switchOff"], min: 3 },
        { fg: "focus", bg: ["background", "card"], min: 3 },
    ]

    function test_contrast_data() {
        return [{ tag: "light", scheme: "light" }, { tag: "dark", scheme: "dark" }]
    }

    function test_contrast(data) {
        harness.setColorScheme(data.scheme)
        try {
            compare(Theme.dark, data.scheme === "dark")
            const low = []
            const check = (what, fg, bg, min) => {
                const r = ratio(fg, bg)
                if (r < min) low.push(what + " " + r.toFixed(2) + ":1")
            }
            for (const pair of themePairs) {
                for (const bg of pair.bg) check(pair.fg + " on " + bg, Theme[pair.fg], Theme[bg], pair.min)
            }

            // The colours the controls draw with, as they are shown.
            feed({ lanShare: true, status: "connected", connectedFleet: fleet, sharingOn: "192.168.1.23",
                   activeOutbound: "proxy-1", delays: { "proxy-1": 41 }, smartRouting: false })
            const connect = item("connectButton")
            check("primary button", firstText(connect.contentItem).color, connect.background.color, 4.5)
            const segment = item("protocol_auto")
            verify(segment.checked)
            check("selected segment", segment.contentItem.color, segment.background.color, 4.5)
            check("selected segment against the others", segment.background.color,
                  item("protocol_reality").background.color, 3)
            const active = descendants(item("server_101"), (n) => n.visible && n.text === "Currently active")[0]
            verify(active !== undefined)
            check("Currently active", active.color, active.parent.parent.background.color, 4.5)
            check("warning text", item("lanNoAddressNow").color, Theme.card, 4.5)

            const off = item("smartRoutingSwitch")
            verify(!off.checked)
            const track = findChild(off, "switchTrack")
            check("off switch track", track.color, Theme.card, 3)
            check("off switch knob", findChild(off, "switchKnob").color, track.color, 3)
            const pill = item("autoPill")  // no pin: Auto is the chosen one
            check("pinned Auto pill", firstText(pill.contentItem).color, pill.background.color, 4.5)
            compare(low, [])
        } finally {
            harness.setColorScheme("light")
        }
    }

    // --- Icons -----------------------------------------------------------------------------

    // On a scaled screen an icon keeps its size in the layout and is drawn with
    // the screen's pixels. (Run at scale 2 as views_scaled.)
    function test_iconsKeepTheirSizeAndStaySharp() {
        feed({ status: "connected", connectedFleet: fleet, activeOutbound: "proxy-1" })
        const scale = window.screen.devicePixelRatio
        const icons = descendants(window.contentItem, (n) => n.visible && n.sourceSize !== undefined
                                  && typeof n.size === "number" && typeof n.name === "string" && n.name !== "")
        verify(icons.length > 10, icons.length + " icons")
        for (const icon of icons) {
            tryCompare(icon, "status", Image.Ready)
            const label = icon.name + " (" + icon.size + ")"
            compare(icon.width, icon.size, label + " width")
            compare(icon.implicitWidth, icon.size, label + " implicit width")
            const id = icon.source.toString().replace("image://icon/", "")
            verify(harness.iconDrawn(id, Qt.size(icon.size * scale, icon.size * scale)), label + " not drawn at " + scale + "x")
        }
        // The laptop in the route selector's "This device only" row, which a doubled icon wrapped.
        const laptop = icons.filter((i) => i.name === "laptop")[0]
        compare(laptop.height, 16)
    }

    // --- Log drawer ------------------------------------------------------------------------

    function openLogs(lines) {
        feed({ logLines: lines })
        mouseClick(item("showLogs"))
        tryCompare(findChild(window.contentItem, "logDrawerLoader"), "status", Loader.Ready)
        wait(30)
        return item("logList")
    }

    function line(seq, message, level) {
        return { seq: seq, line: { ts: "10:00:00", level: level || "INFO", target: "", message: message } }
    }

    // Lines wrap at spaces; only a word longer than the line is broken.
    function test_logLinesWrapAtSpaces() {
        const list = openLogs([line(1, "probe")])
        const probe = list.itemAtIndex(0)
        metrics.font = probe.font
        const advance = metrics.advanceWidth
        const perLine = Math.floor(probe.width / advance)
        const prefix = "10:00:00 INFO "
        // The first word ends three characters before the edge: "tunnel" does not fit after it.
        const first = "x".repeat(perLine - 3 - prefix.length)
        const lines = [line(2, first + " tunnel"), line(3, "y".repeat(perLine * 2))]
        feed({ logLines: lines })
        wait(30)
        const words = list.itemAtIndex(0), unbroken = list.itemAtIndex(1)
        compare(words.lineCount, 2)
        verify(words.contentWidth <= (perLine - 2) * advance, "a word was broken: " + words.contentWidth)
        verify(unbroken.lineCount >= 2 && unbroken.contentWidth <= unbroken.width, "a long word runs past the line")
    }
    TextMetrics { id: metrics; text: "m" }

    // A line scrolled half out of view is cut at the list's edge, inside the
    // frame, never at the frame itself.
    function test_logFrameCutsNoLine() {
        const lines = []
        for (let i = 0; i < 60; ++i) lines.push(line(100 + i, "a line of the log " + i + " WWWWWWWW"))
        const list = openLogs(lines)
        const frame = list.parent
        const row = list.itemAtIndex(5)
        list.contentY = row.y + row.height / 2
        wait(50)
        const image = grabImage(window.contentItem)
        const at = frame.mapToItem(window.contentItem, 0, 0)
        const stray = []
        // The band between the frame's border and the list's top.
        for (let y = at.y + 2; y < at.y + list.y; ++y) {
            for (let x = at.x + list.x; x < at.x + list.x + list.width - 16; ++x) {
                const p = image.pixel(x, y)
                if (ratio(p, frame.color) > 1.2) stray.push(x + "," + y)
            }
        }
        compare(stray.length, 0, "text drawn over the frame's margin at " + stray.slice(0, 5))
    }

    // With the logs open the keyboard stays in the drawer; closing it gives the
    // keyboard back to the button that opened it.
    function test_logDrawerKeepsTheKeyboard() {
        openLogs([line(1, "one")])
        const drawer = item("logDrawer")
        const escaped = []
        for (let i = 0; i < 16; ++i) {
            keyClick(i < 8 ? Qt.Key_Tab : Qt.Key_Backtab)
            if (!within(window.activeFocusItem, drawer)) escaped.push(window.activeFocusItem)
        }
        compare(escaped, [])
        // Nothing under the drawer can be worked meanwhile, pointer or assistive technology.
        verify(!item("connectButton").enabled)
        keyClick(Qt.Key_Escape)
        verify(!window.logsOpen)
        tryVerify(() => item("showLogs").activeFocus)
        compare(harness.calls, [])
        verify(item("connectButton").enabled)

        // A press on the dimmed window closes the drawer and presses nothing under it.
        openLogs([line(1, "one")])
        mouseClick(window.contentItem, window.width - 30, 20)  // over the sign-out button
        verify(!window.logsOpen)
        compare(harness.calls, [])
    }

    // --- Assistive technology -----------------------------------------------------------

    function test_segmentsAreARadioGroup() {
        // The log filters: Tab reaches the chosen one; the arrows choose another, around the ends.
        openLogs([line(1, "one")])
        item("logSearch").forceActiveFocus()
        keyClick(Qt.Key_Backtab)
        const all = item("logFilter_All")
        verify(all.activeFocus, "Backtab from the search did not reach the chosen filter")
        compare(all.Accessible.role, Accessible.RadioButton)
        compare(all.parent.Accessible.role, Accessible.Grouping)
        keyClick(Qt.Key_Right)
        compare(bridge.logFilter, 1)
        verify(item("logFilter_Warn+").activeFocus)
        keyClick(Qt.Key_Down)
        compare(bridge.logFilter, 2)
        keyClick(Qt.Key_Right)
        compare(bridge.logFilter, 0)
        keyClick(Qt.Key_Left)
        compare(bridge.logFilter, 2)
        keyClick(Qt.Key_Backtab)
        verify(item("closeLogs").activeFocus, "Backtab stopped at a filter that is not chosen")
        keyClick(Qt.Key_Escape)

        // The protocol choice: the arrows ask the model for the next one.
        feed({ pin: { vpsId: 102, reality: false } })
        const hy2 = item("protocol_hysteria2")
        verify(hy2.checked)
        verify(hy2.activeFocusOnTab && !item("protocol_reality").activeFocusOnTab)
        hy2.forceActiveFocus()
        keyClick(Qt.Key_Left)
        verify(item("protocol_reality").activeFocus)
        compare(harness.calls, ["chooseProtocol:reality"])
    }

    function test_whatAssistiveTechnologyIsTold() {
        // "Copied" is the button's name while it shows.
        feed({ lanShare: true, status: "connected", connectedFleet: fleet, sharingOn: "192.168.1.23",
               lanAddress: "192.168.1.23" })
        const copy = item("copyURL")
        mouseClick(copy)
        compare(copy.Accessible.name, "Copied")
        tryCompare(copy.Accessible, "name", "Copy URL", 3000)

        // A spinner says what is under way.
        feed({ refreshing: true })
        const spinners = descendants(window.contentItem, (n) => n.visible && n.Accessible.role === Accessible.Indicator)
        verify(spinners.length > 0)
        for (const spinner of spinners) verify(spinner.Accessible.name !== "", "a spinner without a name")

        // A failed sign-in is an alert.
        harness.feed({ panelURL: "https://", signedIn: false, errorMessage: "Wrong email or password." })
        wait(30)
        compare(item("signInErrorText").Accessible.role, Accessible.AlertMessage)
    }

    // The empty Panel URL field offers the operator's address (tests/Screens/Views/config).
    function test_panelAddressPlaceholderIsTheOperators() {
        harness.feed({ panelURL: "", signedIn: false })
        wait(30)
        const field = item("panelFieldInput")
        compare(field.placeholderText, "https://vpn.operator.test")
        compare(field.Accessible.description, "https://vpn.operator.test")
        verify(descendants(field, (n) => n.visible && n.text === "https://vpn.operator.test").length === 1)
    }
}
