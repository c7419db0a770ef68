// A window already open on X11, handed a launch's startup id (a second start hands it over): the
// window manager is asked to activate it at the launch's time, the window carries the id, and the
// launch's feedback is told it is over. An X client of the test's own watches the root window
// as a window manager and a launcher's feedback would.
#include <QApplication>
#include <QSocketNotifier>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "app/AppInstance.h"
#include "app/X11Activation.h"
#include "harness/Timing.h"

namespace {

xcb_atom_t Atom(xcb_connection_t* c, const char* name) {
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, std::uint16_t(std::strlen(name)), name), nullptr), &std::free);
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

// What reaches the root window: activation requests and startup-notification messages.
struct RootWatcher {
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    xcb_window_t root = XCB_WINDOW_NONE;
    struct Activation {
        xcb_window_t window;
        std::uint32_t source, time;
    };
    std::vector<Activation> activations;
    QByteArray startupText;  // the messages, each ended by its NUL
    xcb_atom_t active = XCB_ATOM_NONE, begin = XCB_ATOM_NONE, more = XCB_ATOM_NONE;

    RootWatcher() {
        if (xcb_connection_has_error(c)) return;
        root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
        const std::uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_change_window_attributes(c, root, XCB_CW_EVENT_MASK, &mask);
        active = Atom(c, "_NET_ACTIVE_WINDOW");
        begin = Atom(c, "_NET_STARTUP_INFO_BEGIN");
        more = Atom(c, "_NET_STARTUP_INFO");
        sync();
    }
    ~RootWatcher() { xcb_disconnect(c); }
    void sync() { std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr)); }

    void take(xcb_generic_event_t* event) {
        if ((event->response_type & 0x7f) != XCB_CLIENT_MESSAGE) return;
        const auto* m = reinterpret_cast<const xcb_client_message_event_t*>(event);
        if (m->type == active && m->format == 32) activations.push_back({m->window, m->data.data32[0], m->data.data32[1]});
        if ((m->type == begin || m->type == more) && m->format == 8)
            startupText.append(reinterpret_cast<const char*>(m->data.data8), 20);
    }
    // Waits on the connection's socket until `done` holds or the time is up.
    bool waitFor(const std::function<bool()>& done, int limitMs) {
        QSocketNotifier readable(xcb_get_file_descriptor(c), QSocketNotifier::Read);
        QObject::connect(&readable, &QSocketNotifier::activated, [this] {
            while (xcb_generic_event_t* e = xcb_poll_for_event(c)) {
                take(e);
                std::free(e);
            }
        });
        while (xcb_generic_event_t* e = xcb_poll_for_event(c)) {
            take(e);
            std::free(e);
        }
        return QTest::qWaitFor(done, limitMs);
    }
    // The startup messages as texts, without the padding after each NUL.
    QList<QByteArray> startupMessages() const {
        QList<QByteArray> messages;
        QByteArray current;
        for (qsizetype at = 0; at < startupText.size(); at += 20) {
            const QByteArray piece = startupText.mid(at, 20);
            const qsizetype nul = piece.indexOf('\0');
            current += nul < 0 ? piece : piece.left(nul);
            if (nul >= 0) messages << std::exchange(current, {});
        }
        return messages;
    }
    QByteArray startupIdOf(xcb_window_t window) {
        std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
            xcb_get_property_reply(c, xcb_get_property(c, 0, window, Atom(c, "_NET_STARTUP_ID"), XCB_GET_PROPERTY_TYPE_ANY, 0, 1024),
                                   nullptr),
            &std::free);
        if (!reply) return {};
        return QByteArray(static_cast<const char*>(xcb_get_property_value(reply.get())), xcb_get_property_value_length(reply.get()));
    }
};

}  // namespace

TEST(X11Activation, TheLaunchTimeIsReadOnlyFromAWellFormedId) {
    EXPECT_EQ(X11Activation::LaunchTimeOf("launcher-1234-host-fetchwright-0_TIME98765"), 98765u);
    EXPECT_EQ(X11Activation::LaunchTimeOf("a_TIME1_TIME4294967295"), 4294967295u);
    EXPECT_FALSE(X11Activation::LaunchTimeOf("no-time-here"));
    EXPECT_FALSE(X11Activation::LaunchTimeOf("x_TIME"));
    EXPECT_FALSE(X11Activation::LaunchTimeOf("x_TIME4294967296"));
    EXPECT_FALSE(X11Activation::LaunchTimeOf("x_TIME12ab"));
    EXPECT_FALSE(X11Activation::LaunchTimeOf("x_TIME0"));
}

TEST(X11Activation, AWindowHandedAStartupIdIsActivatedAtTheLaunchTimeAndTheLaunchEnds) {
    ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("xcb")) << "run under Xvfb with QT_QPA_PLATFORM=xcb";
    RootWatcher watcher;
    ASSERT_FALSE(xcb_connection_has_error(watcher.c));
    QWidget window;
    window.resize(200, 100);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window, Timing::boundMs(10000)));
    const xcb_window_t id = xcb_window_t(window.winId());

    // An id longer than one 20-byte piece of a message, as launchers make them.
    const QByteArray startupId = "launcher-4242-host-fetchwright-7_TIME31337";
    AppInstance::Raise(window, QString::fromLatin1(startupId));
    ASSERT_TRUE(watcher.waitFor([&] { return !watcher.activations.empty() && !watcher.startupMessages().isEmpty(); },
                                Timing::boundMs(10000)));
    ASSERT_EQ(watcher.activations.size(), 1u);
    EXPECT_EQ(watcher.activations[0].window, id);
    EXPECT_EQ(watcher.activations[0].source, 1u) << "asked as an application";
    EXPECT_EQ(watcher.activations[0].time, 31337u);
    EXPECT_EQ(watcher.startupMessages(), QList<QByteArray>{"remove: ID=" + startupId});
    EXPECT_EQ(watcher.startupIdOf(id), startupId);

    // No id, or one that is not an id (a quote would break the message): the window is raised
    // as before and nothing more is sent.
    watcher.activations.clear();
    watcher.startupText.clear();
    EXPECT_FALSE(X11Activation::Activate(window, {}));
    EXPECT_FALSE(X11Activation::Activate(window, "bad\" id_TIME5"));
    AppInstance::Raise(window, {});
    watcher.sync();
    // A round trip of the window's own connection and then of the watcher's: whatever was sent
    // has arrived.
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    std::free(xcb_get_input_focus_reply(x11->connection(), xcb_get_input_focus(x11->connection()), nullptr));
    watcher.waitFor([] { return true; }, 0);
    watcher.sync();
    watcher.waitFor([] { return true; }, 0);
    EXPECT_TRUE(watcher.activations.empty());
    EXPECT_TRUE(watcher.startupText.isEmpty());
}
