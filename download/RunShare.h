#pragma once
// What the transfers of a run share beyond the multi handle's connections: the TLS sessions (so
// that a new connection to a server seen before resumes its session instead of a full handshake)
// and the DNS answers, in one libcurl share; and the trust store, which libcurl keeps loaded for
// every new connection of the multi handle only when it is one bundle file.
#include <QByteArray>

#include <curl/curl.h>

namespace Download {

// A share of TLS sessions and DNS answers, and cookies when asked. Used by one thread at a time
// (the run's loop): it has no lock functions. Must outlive every easy handle given it.
class RunShare {
public:
    explicit RunShare(bool cookies = false);
    ~RunShare();
    RunShare(const RunShare&) = delete;
    RunShare& operator=(const RunShare&) = delete;
    CURLSH* handle() const { return share_; }

private:
    CURLSH* share_ = nullptr;
};

// Sets an easy handle's trust store: `caFile` when given, else the system's bundle. libcurl
// rebuilds the store for each new connection whenever a certificate folder is set too (as the
// system's default is), which costs tens of milliseconds of CPU with the system's bundle; with
// the bundle alone the loaded store is kept and reused.
void UseTrustStore(CURL* easy, const QByteArray& caFile);

}  // namespace Download
