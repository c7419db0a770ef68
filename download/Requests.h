#pragma once
// How the requests of a run present themselves, as a browser's would: the User-Agent chosen, the
// cookies of a cookies.txt, and, for an entry taken from a page, that page as the Referer. Also
// whether a stored file gets the server's modification time.
#include <QByteArray>
#include <QString>
#include <QStringList>

#include <curl/curl.h>

#include <memory>
#include <vector>

#include "download/ProxyChoice.h"
#include "support/Result.h"
#include "support/RunOptions.h"

namespace Download {

// One cookie of a cookies.txt, as it was checked: a lower-case domain without its leading dot.
struct FileCookie {
    QByteArray domain;
    bool hostOnly = true;  // for that host alone, else for its subdomains too
    QByteArray path;
    bool secure = false;
    qint64 expires = 0;    // seconds since 1970; 0 for a session cookie
    QByteArray name, value;
};

// The cookies of one cookies.txt. Which of them go with a request is decided here, as browsers
// do (RFC 6265): a domain cookie never for a public suffix (co.uk, or a name the list does not
// know, such as localhost), an IP address only gets the cookies of that very address, a path
// matches at a "/" only, secure ones go over https only, none expired. The Cookie header is made
// for each request of a redirect's chain anew, for the address it goes to. The file is read once
// per run and never written; cookies a server sets during the run are kept for the rest of that
// run only, in a libcurl share. Used by one thread at a time (the run's loop).
class CookieJar {
public:
    ~CookieJar();
    CookieJar(const CookieJar&) = delete;
    CookieJar& operator=(const CookieJar&) = delete;
    // For the cookies servers set during the run; nullptr when libcurl cannot make one.
    CURLSH* share() const;
    int count() const { return static_cast<int>(cookies_.size()); }
    // The lines of the file that were left out, each with its number and why.
    const QStringList& skipped() const { return skipped_; }
    // The Cookie header's value for a request to `address` at `nowSeconds` since 1970; empty
    // when none of the file's cookies goes there.
    QByteArray headerFor(const QByteArray& address, qint64 nowSeconds) const;

private:
    friend Fw::Result<std::shared_ptr<CookieJar>> ReadCookiesFile(const QString& path);
    CookieJar() = default;
    std::vector<FileCookie> cookies_;
    QStringList skipped_;
    mutable CURLSH* share_ = nullptr;
    mutable bool made_ = false;
};

// A cookies file larger than this is refused: browsers export a few hundred kilobytes.
inline constexpr qint64 kCookiesFileLimit = qint64(8) << 20;
// Browsers keep some 3,000 cookies in all; a file of many more is no export of one.
inline constexpr int kMostCookies = 5000;

// Reads and checks a cookies.txt in the Netscape format (tab-separated domain, subdomains flag,
// path, secure flag, expiry, name, value; `#HttpOnly_` before the domain of an http-only cookie;
// other lines starting with `#`, and blank lines, are skipped). Only a regular file of at most
// kCookiesFileLimit bytes is read. A line that is not a cookie fails the whole file, with its
// number and what is wrong with it, so that a file of another kind is never half used. A cookie
// that no request may carry (a domain cookie of a public suffix) is left out and named in
// CookieJar::skipped().
Fw::Result<std::shared_ptr<CookieJar>> ReadCookiesFile(const QString& path);

// What every request of a run carries.
struct RequestOptions {
    QByteArray userAgent;                      // empty: the program's own
    std::shared_ptr<const CookieJar> cookies;  // nullptr: no cookies
    bool serverTime = true;                    // ask for the answer's Last-Modified
    std::shared_ptr<const ProxyChoice> proxy;  // nullptr: libcurl's own reading of the environment
};

// What the requests of a run with these options carry; the cookies file, when one is chosen, is
// read now. Its failure names the file and says what is wrong with it.
Fw::Result<std::shared_ptr<const RequestOptions>> MakeRequestOptions(const RunOptions::Values& values);
// What the user is told of the cookies file of a run that goes on: the lines it leaves out, with
// the file's name; empty when it takes every line (or there is none).
QString CookiesFileNotice(const RequestOptions& options, const RunOptions::Values& values);

// The reason of a failed transfer of `url` made with `options` on `easy`: the proxy's failure
// named as the proxy's (ProxyFailure), anything else as `reason` says it.
QString ProxyAwareReason(const RequestOptions* options, CURL* easy, const QByteArray& url, CURLcode code,
                         const char* detail, const QString& reason);

// The Referer a request for `target` carries when its entry came from `page`: the page without
// its fragment and credentials; none when the page is https and the target is not (a secure
// page's address never leaves over plain http), nor when either is no web address.
QByteArray RefererFor(const QString& page, const QString& target);

// Whether a Referer taken from `referer` may go with a request to `address` (a redirect's).
bool RefererAllowed(const QByteArray& referer, const QByteArray& address);

}  // namespace Download
