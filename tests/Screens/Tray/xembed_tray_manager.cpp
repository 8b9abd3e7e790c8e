// SPDX-License-Identifier: GPL-3.0-or-later
// An X11 system tray manager as XEmbed-only panels are: it owns
// _NET_SYSTEM_TRAY_S<screen>, announces itself to the root window, prints
// "ready", then "dock 0x<window>" for each icon that asks to be docked. It
// docks nothing: enough for an app to see a tray and ask.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <xcb/xcb.h>

namespace {

xcb_atom_t atom(xcb_connection_t* x, const std::string& name) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(x, xcb_intern_atom(x, 0, name.size(), name.c_str()), nullptr);
    const xcb_atom_t out = reply ? reply->atom : XCB_ATOM_NONE;
    std::free(reply);
    return out;
}

}  // namespace

int main() {
    int screenNumber = 0;
    xcb_connection_t* x = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(x)) {
        std::fprintf(stderr, "cannot open the display\n");
        return 1;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(x));
    for (int i = 0; i < screenNumber; ++i) xcb_screen_next(&screens);
    const xcb_screen_t* screen = screens.data;

    const xcb_window_t manager = xcb_generate_id(x);
    xcb_create_window(x, XCB_COPY_FROM_PARENT, manager, screen->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, 0, nullptr);
    const xcb_atom_t selection = atom(x, "_NET_SYSTEM_TRAY_S" + std::to_string(screenNumber));
    const xcb_atom_t opcode = atom(x, "_NET_SYSTEM_TRAY_OPCODE");
    xcb_set_selection_owner(x, manager, selection, XCB_CURRENT_TIME);

    xcb_client_message_event_t announce{};
    announce.response_type = XCB_CLIENT_MESSAGE;
    announce.format = 32;
    announce.window = screen->root;
    announce.type = atom(x, "MANAGER");
    announce.data.data32[0] = XCB_CURRENT_TIME;
    announce.data.data32[1] = selection;
    announce.data.data32[2] = manager;
    xcb_send_event(x, 0, screen->root, XCB_EVENT_MASK_STRUCTURE_NOTIFY, reinterpret_cast<const char*>(&announce));
    xcb_flush(x);
    std::printf("ready\n");
    std::fflush(stdout);

    constexpr uint32_t requestDock = 0;
    while (xcb_generic_event_t* event = xcb_wait_for_event(x)) {
        if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
            const auto* message = reinterpret_cast<const xcb_client_message_event_t*>(event);
            if (message->type == opcode && message->data.data32[1] == requestDock) {
                std::printf("dock 0x%x\n", message->data.data32[2]);
                std::fflush(stdout);
            }
        }
        std::free(event);
    }
    return 0;
}
