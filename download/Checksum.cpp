#include "download/Checksum.h"

#include <QCoreApplication>

#include <atomic>
#include <cerrno>
#include <vector>

#include <unistd.h>

#include <openssl/evp.h>

namespace Download::Checksum {

namespace {
std::atomic<qint64> readBack{0};

const EVP_MD* AlgorithmOf(Kind kind) {
    switch (kind) {
    case Kind::Md5: return EVP_md5();
    case Kind::Sha512: return EVP_sha512();
    case Kind::Sha256: break;
    }
    return EVP_sha256();
}

QString PrefixOf(Kind kind) {
    switch (kind) {
    case Kind::Md5: return QStringLiteral("md5");
    case Kind::Sha512: return QStringLiteral("sha512");
    case Kind::Sha256: break;
    }
    return QStringLiteral("sha256");
}

bool IsHexDigit(QChar c) {
    const char16_t u = c.unicode();
    return (u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F');
}

// A word that names a digest kind before its ":" (the user meant a digest, right or wrong).
std::optional<Kind> PrefixKind(QStringView word) {
    const qsizetype colon = word.indexOf(u':');
    if (colon <= 0) return std::nullopt;
    const QStringView prefix = word.left(colon);
    for (const Kind kind : {Kind::Sha256, Kind::Sha512, Kind::Md5})
        if (prefix.compare(PrefixOf(kind), Qt::CaseInsensitive) == 0) return kind;
    return std::nullopt;
}
}  // namespace

QString Digest::text() const { return PrefixOf(kind) + QLatin1Char(':') + QString::fromLatin1(hex); }

QString KindName(Kind kind) {
    switch (kind) {
    case Kind::Md5: return QStringLiteral("MD5");
    case Kind::Sha512: return QStringLiteral("SHA-512");
    case Kind::Sha256: break;
    }
    return QStringLiteral("SHA-256");
}

int HexLength(Kind kind) {
    switch (kind) {
    case Kind::Md5: return 32;
    case Kind::Sha512: return 128;
    case Kind::Sha256: break;
    }
    return 64;
}

std::optional<Kind> KindOfLength(qsizetype hexDigits) {
    for (const Kind kind : {Kind::Md5, Kind::Sha256, Kind::Sha512})
        if (HexLength(kind) == hexDigits) return kind;
    return std::nullopt;
}

std::optional<Digest> ParseDigest(QStringView text, QString* reason) {
    const std::optional<Kind> kind = PrefixKind(text);
    if (!kind) {
        if (reason) *reason = QCoreApplication::translate("Checksum", "not a digest (sha256:, sha512: or md5: and hex digits)");
        return std::nullopt;
    }
    const QStringView digits = text.mid(text.indexOf(u':') + 1);
    for (const QChar c : digits) {
        if (IsHexDigit(c)) continue;
        if (reason) *reason = QCoreApplication::translate("Checksum", "%1: not a hex digit in the digest").arg(PrefixOf(*kind));
        return std::nullopt;
    }
    if (digits.size() != HexLength(*kind)) {
        if (reason)
            *reason = QCoreApplication::translate("Checksum", "%1: %2 hex digits where %3 belong").arg(PrefixOf(*kind)).arg(digits.size()).arg(HexLength(*kind));
        return std::nullopt;
    }
    return Digest{*kind, digits.toLatin1().toLower()};
}

Running::Running(Kind kind) : kind_(kind), hash_(EVP_MD_CTX_new(), EVP_MD_CTX_free) { reset(); }

void Running::add(const char* data, qint64 size) {
    if (size <= 0) return;
    if (EVP_DigestUpdate(hash_.get(), data, std::size_t(size)) != 1) usable_ = false;
    bytes_ += size;
}

void Running::reset() {
    usable_ = hash_ && EVP_DigestInit_ex(hash_.get(), AlgorithmOf(kind_), nullptr) == 1;
    bytes_ = 0;
}

bool Running::addFileStart(int fd, qint64 from, qint64 bytes) {
    reset();
    std::vector<char> buffer(std::size_t(1) << 20);
    qint64 at = 0;
    while (at < bytes) {
        const ssize_t n = ::pread(fd, buffer.data(), static_cast<std::size_t>(std::min<qint64>(bytes - at, qint64(buffer.size()))),
                                  static_cast<off_t>(from + at));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            usable_ = false;
            return false;
        }
        add(buffer.data(), n);
        at += n;
        readBack += n;
    }
    return true;
}

qint64 BytesReadBack() { return readBack.load(); }

QByteArray Running::hex() const {
    // Read from a copy: the running digest may still take more bytes.
    EVP_MD_CTX* copy = EVP_MD_CTX_new();
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const bool done = copy && EVP_MD_CTX_copy_ex(copy, hash_.get()) == 1 && EVP_DigestFinal_ex(copy, out, &length) == 1;
    EVP_MD_CTX_free(copy);
    return done ? QByteArray(reinterpret_cast<const char*>(out), int(length)).toHex() : QByteArray();
}

Verdict Judge(const Check& check, qint64 length) {
    Verdict verdict;
    const QString name = KindName(check.expected.kind);
    if (!check.running.usable() || check.running.bytes() != length) {
        verdict.text = QCoreApplication::translate("Checksum", "%1 could not be computed: the file's bytes were not all seen as they were written").arg(name);
        return verdict;
    }
    const QByteArray actual = check.running.hex();
    verdict.matched = actual == check.expected.hex;
    verdict.text = verdict.matched
                       ? QCoreApplication::translate("Checksum", "%1 matches %2 (%3)").arg(name, check.source, QString::fromLatin1(actual))
                       : QCoreApplication::translate("Checksum", "%1 is %2, %3 says %4")
                             .arg(name, QString::fromLatin1(actual), check.source, QString::fromLatin1(check.expected.hex));
    return verdict;
}

}  // namespace Download::Checksum
