#pragma once
// One window for each user: a start that finds a copy already running on the session bus hands
// its entries to that copy (the desktop's org.freedesktop.Application interface: Activate, Open)
// and leaves. Without a bus, or with a copy that does not answer, the start goes on alone.
#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

class Form1;
class QWidget;

namespace AppInstance {

inline constexpr const char* kObjectPath = "/example/quillmoor/Fetchwright";
inline constexpr const char* kInterface = "org.freedesktop.Application";
// How long a second start waits for the running copy's answer before it starts its own window.
inline constexpr int kHandOverLimitMs = 3000;

// The command line's entries as they travel: an argument that names a file, or is written as a
// path ("/", "./", "../", "~"), becomes an absolute file:// address against `workingFolder`, so
// that the copy that receives it reads the same file; a file:// address stays as it is; anything
// else is an address as typed (read as Add One URL reads it).
QStringList EntriesOfArguments(const QStringList& arguments, const QString& workingFolder);

// The desktop's activation token of this start (Wayland's XDG_ACTIVATION_TOKEN, X11's
// DESKTOP_STARTUP_ID), as Activate and Open carry it.
QVariantMap PlatformDataOfEnvironment();

// The running copy's side of the interface. Calls are answered at once; what they ask for is
// signalled queued, so that no message box of the window holds the caller's answer.
class Service : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")
public:
    using QObject::QObject;

public slots:
    void Activate(const QVariantMap& platformData);
    void Open(const QStringList& uris, const QVariantMap& platformData);
    void ActivateAction(const QString& action, const QVariantList& parameter, const QVariantMap& platformData);

signals:
    void activated(const QString& activationToken);
    void opened(const QStringList& entries, const QString& activationToken);
};

enum class Start {
    First,       // this copy holds the name: it shows the window and serves later starts
    HandedOver,  // a running copy took the entries: this start ends
    Alone,       // no bus, or a copy that did not answer: this copy shows its own window
};

// Serves `service` on `bus` under the program's name, or, when another copy holds the name,
// hands it `entries` (Open; Activate when there are none) and waits at most `limitMs` for its
// answer.
Start ClaimOrHandOver(QDBusConnection& bus, Service& service, const QStringList& entries,
                      const QVariantMap& platformData, int limitMs = kHandOverLimitMs);

// What the service is asked for reaches `form`: entries are added (HandOverEntries) and the
// window is raised with the activation token given.
void Attach(Service& service, Form1& form);

// Adds handed-over entries as the window's own buttons do: addresses as Add One URL adds them,
// files as Load List reads them (off the window thread). What cannot be added is named in a
// message, as the buttons name it. `procedure` names the step in error reports.
void HandOverEntries(Form1& form, const QStringList& entries, const QString& procedure);

// Shows, un-minimises and raises `window`, handing the desktop the activation token so that it
// lets the window come to the front.
void Raise(QWidget& window, const QString& activationToken);

}  // namespace AppInstance
