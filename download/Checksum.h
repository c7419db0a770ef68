#pragma once
// Digests that make a stored file one to trust: the digest a list line or a checksum file gives
// for an item, and the digest of its bytes, computed as they are written.
#include <QByteArray>
#include <QString>
#include <QStringView>

#include <memory>
#include <optional>

struct evp_md_ctx_st;

namespace Download::Checksum {

enum class Kind { Md5, Sha256, Sha512 };

// One expected digest: its kind and its value as lower-case hex.
struct Digest {
    Kind kind = Kind::Sha256;
    QByteArray hex;
    bool operator==(const Digest&) const = default;
    // "sha256:3a7b…", as a list line carries it.
    QString text() const;
};

// "SHA-256", as the row's tip names it.
QString KindName(Kind kind);
// How many hex digits a digest of `kind` has: 32, 64 or 128.
int HexLength(Kind kind);
// The kind whose digests have this many hex digits, if any.
std::optional<Kind> KindOfLength(qsizetype hexDigits);

// "sha256:<hex>", "sha512:<hex>" or "md5:<hex>" (prefix and digits in any case); the reason when
// the text is no such digest ("sha256: 63 hex digits where 64 belong").
std::optional<Digest> ParseDigest(QStringView text, QString* reason = nullptr);

// The digest of a file's bytes, fed as they are written. A transfer that starts its body over
// starts the digest over too.
class Running {
public:
    explicit Running(Kind kind);
    Running(Running&&) noexcept = default;
    Kind kind() const { return kind_; }
    void add(const char* data, qint64 size);
    void reset();
    // Starts over with `bytes` bytes of `fd` from offset `from` (a kept part being continued),
    // read once before the rest is appended; false when they could not be read, which leaves
    // the digest unusable.
    bool addFileStart(int fd, qint64 from, qint64 bytes);
    // How many bytes went in; the digest stands for exactly the file's first bytes() bytes.
    qint64 bytes() const { return bytes_; }
    bool usable() const { return usable_; }
    QByteArray hex() const;

private:
    Kind kind_;
    std::unique_ptr<evp_md_ctx_st, void (*)(evp_md_ctx_st*)> hash_;  // libcrypto's EVP_MD_CTX
    qint64 bytes_ = 0;
    bool usable_ = true;
};

// How many bytes digests have read back from files (kept parts continued, and the rare file whose
// bytes were not all seen in order) since the process began.
qint64 BytesReadBack();

// What an item's file is checked against, and the digest of its bytes.
struct Check {
    Digest expected;
    QString source;  // where the digest came from: "the list" or the checksum file's name
    Running running;
    explicit Check(Digest digest, QString from) : expected(std::move(digest)), source(std::move(from)), running(expected.kind) {}
};

// The verdict on a complete file of `length` bytes.
struct Verdict {
    bool matched = false;
    QString text;  // "SHA-256 matches the list" or "SHA-256 is 3a7b…, the list says 9f00…"
};
Verdict Judge(const Check& check, qint64 length);

}  // namespace Download::Checksum
