#include "download/Requests.h"
#include "download/RangeFetch.h"

#include <QCoreApplication>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <optional>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <libpsl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "download/Address.h"
#include "download/AnswerRules.h"
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
        return QCoreApplication::translate("Requests", "%1 fields where a cookie has 7, separated by tabs").arg(fields.size());
    if (!isDomain(fields[0])) return QCoreApplication::translate("Requests", "the domain is not a host name");
    if (!isTruth(fields[1])) return QCoreApplication::translate("Requests", "the second field is not TRUE or FALSE");
    if (!fields[2].startsWith('/') || !isCookieText(fields[2], false)) return QCoreApplication::translate("Requests", "the path does not begin with /");
    if (!isTruth(fields[3])) return QCoreApplication::translate("Requests", "the fourth field is not TRUE or FALSE");
    if (!isExpiry(fields[4])) return QCoreApplication::translate("Requests", "the expiry is not a number of seconds");
    if (fields[5].isEmpty() || !isCookieText(fields[5], true)) return QCoreApplication::translate("Requests", "the cookie's name is empty or holds characters a name cannot");
    if (fields.size() == 7 && !isCookieText(fields[6], false)) return QCoreApplication::translate("Requests", "the cookie's value holds a control character or ;");
    return {};
}

Fw::Result<QByteArray> readBounded(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    // Not blocking on a pipe or device before fstat says what it is.
    Fw::UniqueFd fd(::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd) return Fw::Error::fromErrno(errno);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return Fw::Error::fromErrno(errno);
    if (!S_ISREG(st.st_mode)) return Fw::Error::failed(QCoreApplication::translate("Requests", "Not a regular file"));
    if (st.st_size > kCookiesFileLimit) return Fw::Error::failed(QCoreApplication::translate("Requests", "Larger than 8 MB: not a cookies file"));
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
    if (have > kCookiesFileLimit) return Fw::Error::failed(QCoreApplication::translate("Requests", "Larger than 8 MB: not a cookies file"));
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

// An IPv4 or IPv6 address (without its brackets).
bool isIpAddress(const QByteArray& host) {
    unsigned char bytes[16];
    return ::inet_pton(AF_INET, host.constData(), bytes) == 1 || ::inet_pton(AF_INET6, host.constData(), bytes) == 1;
}

// The list of public suffixes: the newer of the one libpsl was built with and Debian's file.
const psl_ctx_t* suffixes() {
    static const psl_ctx_t* const list = [] {
        const psl_ctx_t* latest = psl_latest(nullptr);
        return latest ? latest : psl_builtin();
    }();
    return list;
}

// Names every site under it shares (co.uk, github.io), or a name the list does not know at all.
bool isPublicSuffix(const QByteArray& domain) {
    const psl_ctx_t* list = suffixes();
    return !list || psl_is_public_suffix(list, domain.constData()) != 0;
}

// RFC 6265 5.1.4: the cookie's path is the request's, or a beginning of it that ends at a "/".
bool pathMatches(const QByteArray& cookiePath, const QByteArray& requestPath) {
    if (!requestPath.startsWith(cookiePath)) return false;
    return requestPath.size() == cookiePath.size() || cookiePath.endsWith('/') || requestPath[cookiePath.size()] == '/';
}

// A checked line of the file as a cookie; nothing, with why in `skipped`, when no request may
// carry it.
std::optional<FileCookie> cookieOf(const QByteArray& line, QString& skipped) {
    const bool httpOnly = line.startsWith("#HttpOnly_");
    const QList<QByteArray> fields = (httpOnly ? line.mid(10) : line).split('\t');
    FileCookie c;
    QByteArray domain = fields[0].toLower();
    const bool dotted = domain.startsWith('.');
    if (dotted) domain = domain.mid(1);
    if (domain.startsWith('[') && domain.endsWith(']')) domain = domain.mid(1, domain.size() - 2);
    c.domain = domain;
    c.hostOnly = !dotted && fields[1].compare("TRUE", Qt::CaseInsensitive) != 0;
    if (isIpAddress(domain)) {
        c.hostOnly = true;  // an address has no subdomains
    } else if (!c.hostOnly && isPublicSuffix(domain)) {
        skipped = QCoreApplication::translate("Requests", "%1 is a public suffix: the cookie would go to every site under it")
                      .arg(QString::fromUtf8(fields[0]));
        return std::nullopt;
    }
    c.path = fields[2];
    c.secure = fields[3].compare("TRUE", Qt::CaseInsensitive) == 0;
    const qsizetype dot = fields[4].indexOf('.');
    c.expires = (dot < 0 ? fields[4] : fields[4].left(dot)).toLongLong();
    c.name = fields[5];
    c.value = fields.size() == 7 ? fields[6] : QByteArray();
    return c;
}

}  // namespace

QByteArray CookieJar::headerFor(const QByteArray& address, qint64 nowSeconds) const {
    qsizetype hostFrom = 0, hostTo = 0;
    if (cookies_.empty() || !splitAddress(address, hostFrom, hostTo)) return {};
    QByteArray host = address.mid(hostFrom, hostTo - hostFrom);
    const qsizetype at = host.lastIndexOf('@');
    if (at >= 0) host = host.mid(at + 1);
    if (host.startsWith('[')) {
        host = host.mid(1, host.indexOf(']') - 1);
    } else {
        const qsizetype colon = host.lastIndexOf(':');
        if (colon >= 0) host.truncate(colon);
    }
    host = host.toLower();
    if (host.endsWith('.')) host.chop(1);
    const bool ip = isIpAddress(host);
    // As in browsers, the machine itself counts as a secure place.
    const bool secure = isHttps(address) || host == "localhost" || host == "127.0.0.1" || host == "::1";
    qsizetype pathTo = hostTo;
    while (pathTo < address.size() && address[pathTo] != '?' && address[pathTo] != '#') ++pathTo;
    QByteArray path = address.mid(hostTo, pathTo - hostTo);
    if (!path.startsWith('/')) path = "/";

    std::vector<const FileCookie*> going;
    for (const FileCookie& c : cookies_) {
        const bool domainMatches = c.hostOnly || ip ? host == c.domain
                                                    : host == c.domain || (host.endsWith(c.domain) &&
                                                                           host[host.size() - c.domain.size() - 1] == '.');
        if (!domainMatches || !pathMatches(c.path, path) || (c.secure && !secure)) continue;
        if (c.expires != 0 && c.expires <= nowSeconds) continue;
        going.push_back(&c);
    }
    // Longer paths first, as browsers send them; otherwise in the file's order.
    std::stable_sort(going.begin(), going.end(),
                     [](const FileCookie* a, const FileCookie* b) { return a->path.size() > b->path.size(); });
    QByteArray header;
    for (const FileCookie* c : going) {
        if (!header.isEmpty()) header += "; ";
        header += c->name + '=' + c->value;
    }
    return header;
}

CookieJar::~CookieJar() {
    if (share_) curl_share_cleanup(share_);
}

Fw::Result<std::shared_ptr<CookieJar>> ReadCookiesFile(const QString& path) {
    const Fw::Result<QByteArray> bytes = readBounded(path);
    if (!bytes) return Fw::Error::failed(bytes.error().text, bytes.error().code);
    std::shared_ptr<CookieJar> jar(new CookieJar);
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
        if (line.size() > kLongestLine) return Fw::Error::failed(QCoreApplication::translate("Requests", "Line %1: longer than any cookie").arg(number));
        if (line.startsWith('#') && !line.startsWith("#HttpOnly_")) continue;
        const QString fault = lineFault(line);
        if (!fault.isEmpty()) return Fw::Error::failed(QCoreApplication::translate("Requests", "Line %1: %2").arg(number).arg(fault));
        if (jar->cookies_.size() + std::size_t(jar->skipped_.size()) >= std::size_t(kMostCookies))
            return Fw::Error::failed(QCoreApplication::translate("Requests", "Line %1: more than %2 cookies").arg(number).arg(kMostCookies));
        QString skipped;
        std::optional<FileCookie> cookie = cookieOf(line, skipped);
        if (cookie) jar->cookies_.push_back(std::move(*cookie));
        else jar->skipped_ << QCoreApplication::translate("Requests", "Line %1: skipped, %2").arg(number).arg(skipped);
    }
    return jar;
}

CURLSH* CookieJar::share() const {
    if (made_) return share_;
    made_ = true;
    CurlGlobalInit();
    share_ = curl_share_init();
    if (share_) {
        curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
        // The run's transfers take this share instead of the run's own (download/RunShare.h).
        curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
        curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    }
    return share_;
}

Fw::Result<std::shared_ptr<const RequestOptions>> MakeRequestOptions(const RunOptions::Values& values) {
    auto options = std::make_shared<RequestOptions>();
    options->userAgent = RunOptions::UserAgentOf(values);
    options->serverTime = values.keepServerTime;
    if (!values.cookiesFile.isEmpty()) {
        Fw::Result<std::shared_ptr<CookieJar>> jar = ReadCookiesFile(values.cookiesFile);
        if (!jar)
            return Fw::Error::failed(QCoreApplication::translate("Requests", "The cookies file cannot be used:\n%1\n%2").arg(values.cookiesFile, jar.error().text),
                                     jar.error().code);
        options->cookies = std::move(*jar);
    }
    Fw::Result<std::shared_ptr<ProxyChoice>> proxy = ProxyChoice::FromOptions(values.proxy, values.proxyBypass);
    if (!proxy) return proxy.error();
    options->proxy = std::move(*proxy);
    return std::shared_ptr<const RequestOptions>(std::move(options));
}

QString CookiesFileNotice(const RequestOptions& options, const RunOptions::Values& values) {
    if (!options.cookies || options.cookies->skipped().isEmpty()) return {};
    return QCoreApplication::translate("Requests", "Some cookies of the cookies file are not used:\n%1\n%2")
        .arg(values.cookiesFile, options.cookies->skipped().join(QLatin1Char('\n')));
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
    const bool cookies = request_ && request_->cookies;
    if (!referer_.isEmpty()) curl_easy_setopt(easy_, CURLOPT_REFERER, referer_.constData());
    if (!referer_.isEmpty() || cookies) {
        // A redirect may lead from where the page's address may go to where it may not, and to
        // a host of other cookies: each request of the chain is looked at before it goes.
        curl_easy_setopt(easy_, CURLOPT_PREREQFUNCTION, &Transfer::checkReferer);
        curl_easy_setopt(easy_, CURLOPT_PREREQDATA, this);
    }
    if (share_) curl_easy_setopt(easy_, CURLOPT_SHARE, share_);
    if (!request_) return;
    if (!request_->userAgent.isEmpty()) curl_easy_setopt(easy_, CURLOPT_USERAGENT, request_->userAgent.constData());
    if (cookies && request_->cookies->share()) {
        // It holds TLS sessions and DNS answers as well as the run's share would.
        curl_easy_setopt(easy_, CURLOPT_SHARE, request_->cookies->share());
        // Turns the cookie engine on without reading any file, for what servers set in the run.
        curl_easy_setopt(easy_, CURLOPT_COOKIEFILE, "");
    }
    if (request_->serverTime) curl_easy_setopt(easy_, CURLOPT_FILETIME, 1L);
    if (request_->proxy) request_->proxy->applyTo(easy_, firstUrl_);
}

QString ProxyAwareReason(const RequestOptions* options, CURL* easy, const QByteArray& url, CURLcode code,
                         const char* detail, const QString& reason) {
    if (!options || !options->proxy) return reason;
    long connectStatus = 0;
    curl_easy_getinfo(easy, CURLINFO_HTTP_CONNECTCODE, &connectStatus);
    return ProxyFailure(options->proxy->proxyFor(url), code, connectStatus, detail, reason);
}

void RangeFetch::setRequest(std::shared_ptr<const RequestOptions> request, const QByteArray& referer) {
    request_ = std::move(request);
    if (!referer.isEmpty() && RefererAllowed(referer, url_)) {
        referer_ = referer;
        curl_easy_setopt(easy_, CURLOPT_REFERER, referer_.constData());
    }
    if (!request_) return;
    if (!request_->userAgent.isEmpty()) curl_easy_setopt(easy_, CURLOPT_USERAGENT, request_->userAgent.constData());
    if (request_->cookies) {
        if (request_->cookies->share()) {
            curl_easy_setopt(easy_, CURLOPT_SHARE, request_->cookies->share());
            curl_easy_setopt(easy_, CURLOPT_COOKIEFILE, "");
        }
        // A piece follows no redirect: its one request is known now.
        const QByteArray header = request_->cookies->headerFor(url_, std::time(nullptr));
        if (!header.isEmpty()) curl_easy_setopt(easy_, CURLOPT_COOKIE, header.constData());
    }
    if (request_->proxy) request_->proxy->applyTo(easy_, url_);
}

int Transfer::checkReferer(void* self, char*, char*, int, int) {
    auto* transfer = static_cast<Transfer*>(self);
    char* url = nullptr;
    curl_easy_getinfo(transfer->easy_, CURLINFO_EFFECTIVE_URL, &url);
    const QByteArray address = url ? QByteArray(url) : QByteArray();
    if (!transfer->referer_.isEmpty() && !RefererAllowed(transfer->referer_, address)) {
        // Asked again from the start without it.
        transfer->referer_.clear();
        transfer->refererWithheld_ = true;
        return CURL_PREREQFUNC_ABORT;
    }
    if (transfer->request_ && transfer->request_->cookies) {
        // libcurl builds the request after this: the header is this address's alone.
        const QByteArray header = transfer->request_->cookies->headerFor(address, std::time(nullptr));
        curl_easy_setopt(transfer->easy_, CURLOPT_COOKIE, header.isEmpty() ? nullptr : header.constData());
    }
    return CURL_PREREQFUNC_OK;
}

std::optional<qint64> Transfer::serverTime() const {
    if (!request_ || !request_->serverTime) return std::nullopt;
    // Read here: libcurl gives the last second of 1969 as 1970, and -1 means "unknown" to it.
    if (const auto seconds = httpDateSeconds(headerOf(easy_, "Last-Modified"))) return seconds;
    curl_off_t time = -1;
    if (curl_easy_getinfo(easy_, CURLINFO_FILETIME_T, &time) != CURLE_OK || time < 0) return std::nullopt;
    return static_cast<qint64>(time);
}

}  // namespace Download
