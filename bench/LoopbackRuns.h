#pragma once
// The latency benchmark's loopback section: every tool fetches straight from a private nginx on
// loopback, with no latency proxy between, so that the program's own costs show: files a second
// and CPU milliseconds a file over a long run at 8 at once, CPU seconds against the leanest peer
// for small files and for one big file, wall time against the faster of wget and curl, and the
// memory that one more entry of a run costs.
#include <QString>

#include <algorithm>
#include <cstring>

namespace Bench {

struct LoopbackSizes {
    int longFiles = 100000;  // 4 KB files at 8 at once, http
    int costFiles = 3000;    // 4 KB files, http and https with HTTP/2
    int costMb = 512;        // one file, http and https with HTTP/1.1 and with HTTP/2
    int windowSmall = 2000;  // 4 KB files, http, wall time
    int windowMb = 256;      // one file, http, wall time
    int memoryRun = 20000;   // 4 KB files, http, the window's peak resident memory
    bool enabled = true;     // --no-loopback leaves the section out
    bool only = false;       // --loopback-only runs the section alone

    // Takes option `a` when it is one of the section's; `value` reads the option's value.
    template <class Value>
    bool take(const char* a, Value value) {
        struct Sized {
            const char* name;
            int* size;
        };
        for (Sized s : {Sized{"--long", &longFiles}, Sized{"--cost", &costFiles}, Sized{"--cost-mb", &costMb},
                        Sized{"--window-small", &windowSmall}, Sized{"--window-mb", &windowMb},
                        Sized{"--memory-run", &memoryRun}})
            if (!std::strcmp(a, s.name)) {
                *s.size = std::max(1, value().toInt());
                return true;
            }
        if (!std::strcmp(a, "--no-loopback")) enabled = false;
        else if (!std::strcmp(a, "--loopback-only")) only = true;
        else return false;
        return true;
    }
};

// Runs the loopback section with `rounds` interleaved rounds, the window on X11 under Xvfb when
// `xcb` (else offscreen), aria2c among the peers when `aria2`; 0 when every run of every tool
// stored every file as served, 1 otherwise.
int runLoopback(const LoopbackSizes& sizes, int rounds, bool xcb, bool aria2, const QString& windowProgram);

}  // namespace Bench
