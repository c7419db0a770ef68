#include "app/X11Activation.h"

#include <QGuiApplication>
#include <QWidget>

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace X11Activation {

namespace {

xcb_atom_t Atom(xcb_connection_t* c, const char* name) {
    xcb_intern_atom_reply_t* reply =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, std::uint16_t(std::strlen(name)), name), nullptr);
    const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reply);
    return atom;
}

xcb_window_t RootOf(xcb_connection_t* c, xcb_window_t window) {
    xcb_query_tree_reply_t* reply = xcb_query_tree_reply(c, xcb_query_tree(c, window), nullptr);
    const xcb_window_t root = reply ? reply->root : xcb_window_t(XCB_WINDOW_NONE);
    std::free(reply);
    return root;
}

// A startup-notification message goes to the root window in pieces of 20 bytes, the first
// typed _NET_STARTUP_INFO_BEGIN, the rest _NET_STARTUP_INFO, its closing NUL included.
void SendStartupMessage(xcb_connection_t* c, xcb_window_t root, xcb_window_t from, const QByteArray& message) {
    const xcb_atom_t begin = Atom(c, "_NET_STARTUP_INFO_BEGIN");
    const xcb_atom_t more = Atom(c, "_NET_STARTUP_INFO");
    const qsizetype length = message.size() + 1;
    for (qsizetype sent = 0; sent < length; sent += 20) {
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 8;
        event.window = from;
        event.type = sent == 0 ? begin : more;
        const qsizetype piece = std::min<qsizetype>(20, length - sent);
        std::memcpy(event.data.data8, message.constData() + sent, std::size_t(std::min(piece, message.size() - sent)));
        xcb_send_event(c, 0, root, XCB_EVENT_MASK_PROPERTY_CHANGE, reinterpret_cast<const char*>(&event));
    }
}

}  // namespace

std::optional<std::uint32_t> LaunchTimeOf(const QByteArray& startupId) {
    const qsizetype at = startupId.lastIndexOf("_TIME");
    if (at < 0) return std::nullopt;
    const QByteArray digits = startupId.mid(at + 5);
    if (digits.isEmpty() || digits.size() > 10 || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    const qulonglong time = digits.toULongLong();
    if (time == 0 || time > 0xffffffffULL) return std::nullopt;
    return std::uint32_t(time);
}

bool Activate(QWidget& window, const QByteArray& startupId) {
    if (startupId.isEmpty()) return false;
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* c = x11 ? x11->connection() : nullptr;
    if (!c) return false;
    // A startup id is printable ASCII without blanks, quotes or backslashes (which its messages
    // would have to escape); anything else is not one.
    if (startupId.size() > 512 || !std::all_of(startupId.begin(), startupId.end(), [](char ch) {
            return ch > 0x20 && ch < 0x7f && ch != '"' && ch != '\\';
        }))
        return false;
    const xcb_window_t id = xcb_window_t(window.window()->winId());
    const xcb_window_t root = RootOf(c, id);
    if (root == XCB_WINDOW_NONE) return false;

    xcb_change_property(c, XCB_PROP_MODE_REPLACE, id, Atom(c, "_NET_STARTUP_ID"), Atom(c, "UTF8_STRING"), 8,
                        std::uint32_t(startupId.size()), startupId.constData());
    // Source 1: an application; the time of the launch, which the user's own action gave.
    xcb_client_message_event_t activate{};
    activate.response_type = XCB_CLIENT_MESSAGE;
    activate.format = 32;
    activate.window = id;
    activate.type = Atom(c, "_NET_ACTIVE_WINDOW");
    activate.data.data32[0] = 1;
    activate.data.data32[1] = LaunchTimeOf(startupId).value_or(XCB_CURRENT_TIME);
    activate.data.data32[2] = XCB_WINDOW_NONE;
    xcb_send_event(c, 0, root, XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                   reinterpret_cast<const char*>(&activate));
    QByteArray remove = "remove: ID=";
    remove += startupId;
    SendStartupMessage(c, root, id, remove);
    xcb_flush(c);
    return true;
}

}  // namespace X11Activation
