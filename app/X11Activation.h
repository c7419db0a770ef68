#pragma once
// On X11, what a launcher's startup id asks of a window that is already open: the window
// manager is asked to activate it with the time of the user's launch (the id's "_TIME<n>"),
// which its focus-stealing rules weigh, and the launch's feedback (a busy cursor, a task-bar
// entry) is told it is over. Nothing happens on other platforms or without an id.
#include <QByteArray>

#include <cstdint>
#include <optional>

class QWidget;

namespace X11Activation {

// The launch time a startup id carries ("...._TIME1234"), if it carries one.
std::optional<std::uint32_t> LaunchTimeOf(const QByteArray& startupId);

// Marks `window` with the id, asks for its activation at the launch time and ends the launch's
// feedback. True when it was sent (an X11 session and an id).
bool Activate(QWidget& window, const QByteArray& startupId);

}  // namespace X11Activation
