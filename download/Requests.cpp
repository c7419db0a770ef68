#include "download/Requests.h"
#include "download/RangeFetch.h"

#include <QFile>

#include <cerrno>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "download/Address.h"
#include "download/Transfer.h"
#include "support/UniqueFd.h"

namespace Download {

namespace {

// A cookie is at most a few kilobytes; a longer line is no cookie.
constexpr qsizetype kLongestLine = 16 * 1024;

bool isTruth(const QByteArray& field) {
    return field.compare("TRUE", Qt::CaseInsensitive) == 0 || field.compare("FALSE", Qt::CaseInsensitive) == 0;
}

bool isDomain(const QByteArray& domain) {
    if (domain.isEmpty() || domain == ".") return false;
    for (const char c : domain) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                        c == '-' || c == '_' || c == ':' || c == '[' || c == ']';
        if (!ok) return false;
    }
    return true;
}

// Seconds since 1970, as exporters write them (some with a fraction); 0 for a session cookie.
bool isExpiry(const QByteArray& field) {
    const qsizetype dot = field.indexOf('.');
    const QByteArray whole = dot < 0 ? field : field.left(dot);
    if (whole.isEmpty() || whole.size() > 19) return false;
    for (const char c : field.mid(whole.size() + (dot < 0 ? 0 : 1)))
        if (c < '0' || c > '9') return false;
    for (const char c : whole)
        if (c < '0' || c > '9') return false;
    return true;
}

// Nothing that would end or split the Cookie header it goes into.
bool isCookieText(const QByteArray& text, bool name) {
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f || c == ';') return false;
        if (name && (c == '=' || c == ' ')) return false;
    }
    return true;
}

// What is wrong with a line of the file, or nothing when it is a cookie.
QString lineFault(const QByteArray& line) {
    QByteArray rest = line;
    if (rest.startsWith("#HttpOnly_")) rest = rest.mid(10);
    const QList<QByteArray> fields = rest.split('\t');
    // An empty value may lose its tab.
    if (fields.size() != 7 && fields.size() != 6)
        return QStringLiteral("%1 fields where a cookie has 7, separated by tabs").arg(fields.size());
    if (!isDomain(fields[0])) return QStringLiteral("the domain is not a host name");
    if (!isTruth(fields[1])) return QStringLiteral("the second field is not TRUE or FALSE");
    if (!fields[2].startsWith('/') || !isCookieText(fields[2], false)) return QStringLiteral("the path does not begin with /");
    if (!isTruth(fields[3])) return QStringLiteral("the fourth field is not TRUE or FALSE");
    if (!isExpiry(fields[4])) return QStringLiteral("the expiry is not a number of seconds");
    if (fields[5].isEmpty() || !isCookieText(fields[5], true)) return QStringLiteral("the cookie's name is empty or holds characters a name cannot");
    if (fields.size() == 7 && !isCookieText(fields[6], false)) return QStringLiteral("the cookie's value holds a control character or ;");
    return {};
}

Fw::Result<QByteArray> readBounded(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    // Not blocking on a pipe or device before fstat says what it is.
    Fw::UniqueFd fd(::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd) return Fw::Error::fromErrno(errno);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return Fw::Error::fromErrno(errno);
    if (!S_ISREG(st.st_mode)) return Fw::Error::failed(QStringLiteral("Not a regular file"));
    if (st.st_size > kCookiesFileLimit) return Fw::Error::failed(QStringLiteral("Larger than 8 MB: not a cookies file"));
    QByteArray bytes;
    bytes.resize(static_cast<qsizetype>(st.st_size) + 1);
    qsizetype have = 0;
    // The file may have grown since fstat: never more than the limit.
    while (have < bytes.size() && have <= kCookiesFileLimit) {
        const ssize_t n = ::read(fd.get(), bytes.data() + have, static_cast<size_t>(bytes.size() - have));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Fw::Error::fromErrno(errno);
        if (n == 0) break;
        have += n;
        if (have == bytes.size() && have <= kCookiesFileLimit) bytes.resize(std::min<qsizetype>(have * 2, kCookiesFileLimit + 1));
    }
    if (have > kCookiesFileLimit) return Fw::Error::failed(QStringLiteral("Larger than 8 MB: not a cookies file"));
    bytes.truncate(have);
    return bytes;
}

// "scheme://" and the authority's end, or false for no http or https address.
bool splitAddress(const QByteArray& address, qsizetype& hostFrom, qsizetype& hostTo) {
    const qsizetype colon = address.indexOf("://");
    if (colon < 0) return false;
    const QByteArray scheme = address.left(colon).toLower();
    if (scheme != "http" && scheme != "https") return false;
    hostFrom = colon + 3;
    hostTo = hostFrom;
    while (hostTo < address.size() && address[hostTo] != '/' && address[hostTo] != '?' && address[hostTo] != '#') ++hostTo;
    return true;
}

bool isHttps(const QByteArray& address) { return address.left(6).toLower() == "https:"; }

}  // namespace

CookieJar::~CookieJar() {
    if (share_) curl_share_cleanup(share_);
}

Fw::Result<std::shared_ptr<CookieJar>> ReadCookiesFile(const QString& path) {
    const Fw::Result<QByteArray> bytes = readBounded(path);
    if (!bytes) return Fw::Error::failed(bytes.error().text, bytes.error().code);
    std::vector<QByteArray> cookies;
    qsizetype from = 0;
    int number = 0;
    const QByteArray& text = *bytes;
    while (from < text.size()) {
        qsizetype end = text.indexOf('\n', from);
        if (end < 0) end = text.size();
        QByteArray line = text.mid(from, end - from);
        from = end + 1;
        ++number;
        if (line.endsWith('\r')) line.chop(1);
        if (number == 1 && line.startsWith("\xEF\xBB\xBF")) line = line.mid(3);
        if (line.trimmed().isEmpty()) continue;
        if (line.size() > kLongestLine) return Fw::Error::failed(QStringLiteral("Line %1: longer than any cookie").arg(number));
        if (line.startsWith('#') && !line.startsWith("#HttpOnly_")) continue;
        const QString fault = lineFault(line);
        if (!fault.isEmpty()) return Fw::Error::failed(QStringLiteral("Line %1: %2").arg(number).arg(fault));
        if (cookies.size() >= std::size_t(kMostCookies))
            return Fw::Error::failed(QStringLiteral("Line %1: more than %2 cookies").arg(number).arg(kMostCookies));
        cookies.push_back(std::move(line));
    }
    std::shared_ptr<CookieJar> jar(new CookieJar);
    jar->lines_ = std::move(cookies);
    return jar;
}

CURLSH* CookieJar::share() const {
    if (filled_) return share_;
    filled_ = true;
    CurlGlobalInit();
    share_ = curl_share_init();
    CURL* loader = curl_easy_init();
    if (share_ && loader) {
        curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
        // The run's transfers take this share instead of the run's own (download/RunShare.h).
        curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
        curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_easy_setopt(loader, CURLOPT_SHARE, share_);
        for (const QByteArray& cookie : lines_) curl_easy_setopt(loader, CURLOPT_COOKIELIST, cookie.constData());
    }
    // Leaves the cookies in the share.
    if (loader) curl_easy_cleanup(loader);
    return share_;
}

Fw::Result<std::shared_ptr<const RequestOptions>> MakeRequestOptions(const RunOptions::Values& values) {
    auto options = std::make_shared<RequestOptions>();
    options->userAgent = RunOptions::UserAgentOf(values);
    options->serverTime = values.keepServerTime;
    if (!values.cookiesFile.isEmpty()) {
        Fw::Result<std::shared_ptr<CookieJar>> jar = ReadCookiesFile(values.cookiesFile);
        if (!jar)
            return Fw::Error::failed(QStringLiteral("The cookies file cannot be used:\n%1\n%2").arg(values.cookiesFile, jar.error().text),
                                     jar.error().code);
        options->cookies = std::move(*jar);
    }
    return std::shared_ptr<const RequestOptions>(std::move(options));
}

QByteArray RefererFor(const QString& page, const QString& target) {
    if (page.isEmpty()) return {};
    QByteArray referer = page.toUtf8();
    qsizetype hostFrom = 0, hostTo = 0;
    if (!splitAddress(referer, hostFrom, hostTo)) return {};
    const qsizetype hash = referer.indexOf('#');
    if (hash >= 0) referer.truncate(hash);
    const qsizetype at = referer.lastIndexOf('@', hostTo - 1);
    if (at >= hostFrom) referer.remove(hostFrom, at + 1 - hostFrom);
    if (!RefererAllowed(referer, FetchAddress(target).toUtf8())) return {};
    // Nothing that could end the header line.
    for (const char c : referer)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return {};
    return referer;
}

bool RefererAllowed(const QByteArray& referer, const QByteArray& address) {
    qsizetype from = 0, to = 0;
    if (!splitAddress(address, from, to)) return false;
    return !isHttps(referer) || isHttps(address);
}

// ---- A transfer's side of it: its easy handle's set-up for each try ----

void Transfer::setRequest(std::shared_ptr<const RequestOptions> options, QByteArray referer) {
    request_ = std::move(options);
    referer_ = std::move(referer);
}

void Transfer::applyRequest() {
    if (!referer_.isEmpty()) {
        curl_easy_setopt(easy_, CURLOPT_REFERER, referer_.constData());
        // A redirect may lead from where the page's address may go to where it may not.
        curl_easy_setopt(easy_, CURLOPT_PREREQFUNCTION, &Transfer::checkReferer);
        curl_easy_setopt(easy_, CURLOPT_PREREQDATA, this);
    }
    if (share_) curl_easy_setopt(easy_, CURLOPT_SHARE, share_);
    if (!request_) return;
    if (!request_->userAgent.isEmpty()) curl_easy_setopt(easy_, CURLOPT_USERAGENT, request_->userAgent.constData());
    if (request_->cookies && request_->cookies->share()) {
        // It holds TLS sessions and DNS answers as well as the run's share would.
        curl_easy_setopt(easy_, CURLOPT_SHARE, request_->cookies->share());
        // Turns the cookie engine on without reading any file: the share holds the cookies.
        curl_easy_setopt(easy_, CURLOPT_COOKIEFILE, "");
    }
    if (request_->serverTime) curl_easy_setopt(easy_, CURLOPT_FILETIME, 1L);
}

void RangeFetch::setRequest(std::shared_ptr<const RequestOptions> request, const QByteArray& referer) {
    request_ = std::move(request);
    if (!referer.isEmpty() && RefererAllowed(referer, url_)) {
        referer_ = referer;
        curl_easy_setopt(easy_, CURLOPT_REFERER, referer_.constData());
    }
    if (!request_) return;
    if (!request_->userAgent.isEmpty()) curl_easy_setopt(easy_, CURLOPT_USERAGENT, request_->userAgent.constData());
    if (request_->cookies && request_->cookies->share()) {
        curl_easy_setopt(easy_, CURLOPT_SHARE, request_->cookies->share());
        curl_easy_setopt(easy_, CURLOPT_COOKIEFILE, "");
    }
}

int Transfer::checkReferer(void* self, char*, char*, int, int) {
    auto* transfer = static_cast<Transfer*>(self);
    char* url = nullptr;
    curl_easy_getinfo(transfer->easy_, CURLINFO_EFFECTIVE_URL, &url);
    if (url && RefererAllowed(transfer->referer_, QByteArray(url))) return CURL_PREREQFUNC_OK;
    // Asked again from the start without it.
    transfer->referer_.clear();
    transfer->refererWithheld_ = true;
    return CURL_PREREQFUNC_ABORT;
}

qint64 Transfer::serverTime() const {
    if (!request_ || !request_->serverTime) return -1;
    curl_off_t time = -1;
    if (curl_easy_getinfo(easy_, CURLINFO_FILETIME_T, &time) != CURLE_OK) return -1;
    return static_cast<qint64>(time);
}

}  // namespace Download
