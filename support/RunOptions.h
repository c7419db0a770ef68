#pragma once
// The choices of the Options dialog that shape a run, as the settings store keeps them. A stored
// value that cannot be read, or lies outside its range, reads as the default.
#include <QByteArray>
#include <QString>

#include "support/Settings.h"

namespace RunOptions {

inline constexpr int kMinAtOnce = 1;
inline constexpr int kMaxAtOnce = 8;
inline constexpr int kMaxSpeedLimitKBps = 1000000;

// "Get Links Takes": what Get All Links Within URL adds of a page.
enum class LinksTake {
    Links,         // "Links": the href of its tags
    Media,         // "Links, images and media": and every image candidate, video, audio and poster
    LargestMedia,  // "Links, largest images and media": of each srcset its largest candidate only
};
QString LinksTakeText(LinksTake take);

struct Values {
    int atOnce = 4;           // "Downloads At Once": connections at a time, in all and to one server
    int speedLimitKBps = 0;   // "Speed Limit": the run's whole receiving rate, 0 for none
    bool skipExisting = false;  // "If File Exists": "Skip" a file of the announced size, else "Number"
    bool skipUnchanged = false; // or "Skip unchanged": a file this program stored there is asked for only if it changed
    bool serverNames = true;    // "Server Names": the name the server suggests comes first
    QString cookiesFile{};      // "Cookies File": a cookies.txt read at each Start; empty for none
    QString userAgent{};        // "User-Agent": empty for the program's own
    bool keepServerTime = true; // "Keep Server Time": a stored file gets the server's Last-Modified
    bool splitBigFiles = true;  // "Split Big Files": idle connections bring pieces of a big file
    LinksTake linksTake = LinksTake::Links;  // "Get Links Takes"
    bool keepAwake = true;      // "Keep Awake": the computer does not sleep while a run transfers
    QString proxy = QStringLiteral("System");  // "Proxy": "System", "None" or a typed proxy address
    QString proxyBypass{};      // "Proxy Bypass": hosts a typed proxy is not used for
    bool operator==(const Values&) const = default;
};

Values Read(const Settings::Store& store);
// The User-Agent a run sends: the one chosen, else the program's own name and version.
QByteArray UserAgentOf(const Values& values);
// Writes every value, each under its key.
void Write(const Settings::Store& store, const Values& values);

}  // namespace RunOptions
