#include "download/FileNaming.h"

#include "download/Address.h"
#include "download/TargetNaming.h"

#include <QList>
#include <QMimeDatabase>
#include <QMimeType>

#include <algorithm>
#include <climits>

namespace Download {

namespace {

const QChar kSlash = QLatin1Char('/');

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isEscape(const QByteArray& text, qsizetype i) {
    return text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0;
}

// Length of the well-formed UTF-8 sequence at p (no overlong forms, no surrogates, nothing past
// U+10FFFF), or 0.
int utf8SequenceLength(const unsigned char* p, qsizetype available) {
    const unsigned char c = p[0];
    if (c < 0x80) return 1;
    int length;
    unsigned char low = 0x80, high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) length = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        if (c == 0xE0) low = 0xA0;
        if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        if (c == 0xF0) low = 0x90;
        if (c == 0xF4) high = 0x8F;
    } else
        return 0;
    if (available < length) return 0;
    if (p[1] < low || p[1] > high) return 0;
    for (int i = 2; i < length; ++i)
        if (p[i] < 0x80 || p[i] > 0xBF) return 0;
    return length;
}

bool isValidUtf8(const QByteArray& bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    for (qsizetype i = 0; i < bytes.size();) {
        const int n = utf8SequenceLength(p + i, bytes.size() - i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

// Every %XX escape as its byte; `origin`, when given, gets for each byte where its escape starts
// in `text`, or -1 for a byte written plainly.
QByteArray percentDecoded(const QByteArray& text, QList<qsizetype>* origin = nullptr) {
    QByteArray bytes;
    bytes.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const bool escape = isEscape(text, i);
        if (origin) origin->append(escape ? i : -1);
        if (escape) {
            bytes.append(char(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
            i += 2;
        } else {
            bytes.append(text[i]);
        }
    }
    return bytes;
}

// Bytes in a header's declared charset as text; empty for a charset other than UTF-8 and
// ISO-8859-1, or bytes that are not of it.
QString inCharset(const QByteArray& charset, const QByteArray& bytes) {
    const QByteArray name = charset.toLower();
    if (name == "utf-8" || name == "utf8") return isValidUtf8(bytes) ? QString::fromUtf8(bytes) : QString();
    if (name == "iso-8859-1" || name == "latin1") return QString::fromLatin1(bytes);
    return {};
}

// %XX escapes decoded wherever the bytes they stand for are well-formed UTF-8; an escape that is
// not stays exactly as written, so "%FF" or a lone "%C3" keep their text. Other bytes pass.
QByteArray decodeUtf8Escapes(const QByteArray& text) {
    if (!text.contains('%')) return text;  // most names: nothing to decode, every byte passes
    QList<qsizetype> origin;
    const QByteArray bytes = percentDecoded(text, &origin);
    QByteArray out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    for (qsizetype i = 0; i < bytes.size();) {
        const int n = utf8SequenceLength(p + i, bytes.size() - i);
        if (n > 0) {
            out.append(bytes.constData() + i, n);
            i += n;
        } else {
            if (origin[i] >= 0) out.append(text.mid(origin[i], 3));
            else out.append(bytes[i]);
            ++i;
        }
    }
    return out;
}

// Raw bytes of a header as text: UTF-8 when they are that, else Latin-1 (which every byte is).
QString headerText(const QByteArray& bytes) {
    return isValidUtf8(bytes) ? QString::fromUtf8(bytes) : QString::fromLatin1(bytes);
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

QByteArray trimmedBlanks(const QByteArray& text) {
    qsizetype start = 0, end = text.size();
    while (start < end && isBlank(text[start])) ++start;
    while (end > start && isBlank(text[end - 1])) --end;
    return text.mid(start, end - start);
}

struct Parameter {
    QByteArray name;  // lower case
    QByteArray value;
};

// The parameters of a header value "type; name=value; name="quoted"; ...". Elements without '='
// (the disposition type, whichever it is) are skipped, so a value without a type still gives
// its parameters. In a quoted value a backslash escapes only '"' and '\', so that an
// unescaped Windows path ("C:\dir\a.pdf") keeps its separators; an unclosed quote runs to the
// end.
QList<Parameter> parameters(const QByteArray& value) {
    QList<Parameter> result;
    const qsizetype n = value.size();
    qsizetype i = 0;
    while (i < n) {
        while (i < n && (isBlank(value[i]) || value[i] == ';')) ++i;
        const qsizetype nameStart = i;
        while (i < n && value[i] != '=' && value[i] != ';') ++i;
        const QByteArray name = trimmedBlanks(value.mid(nameStart, i - nameStart)).toLower();
        const bool hasValue = i < n && value[i] == '=';
        if (!hasValue) continue;
        ++i;
        while (i < n && isBlank(value[i])) ++i;
        QByteArray text;
        if (i < n && value[i] == '"') {
            for (++i; i < n && value[i] != '"'; ++i) {
                if (value[i] == '\\' && i + 1 < n && (value[i + 1] == '"' || value[i + 1] == '\\')) ++i;
                text.append(value[i]);
            }
            while (i < n && value[i] != ';') ++i;  // whatever follows the closing quote
        } else {
            const qsizetype start = i;
            while (i < n && value[i] != ';') ++i;
            text = trimmedBlanks(value.mid(start, i - start));
        }
        result.append({name, text});
    }
    return result;
}

// An extended value "charset'language'%XX..." (RFC 8187) as text; empty when it cannot be read.
QString extendedValue(const QByteArray& value) {
    const qsizetype quote1 = value.indexOf('\'');
    const qsizetype quote2 = quote1 < 0 ? -1 : value.indexOf('\'', quote1 + 1);
    if (quote2 < 0) return {};
    return inCharset(trimmedBlanks(value.left(quote1)), percentDecoded(value.mid(quote2 + 1)));
}

// A value made only of RFC 2047 encoded words ("=?UTF-8?B?...?=", as mail headers carry them and
// some servers copy into filename), decoded; empty when it is anything else.
QString encodedWords(const QByteArray& value) {
    const QList<QByteArray> words = trimmedBlanks(value).split(' ');
    QByteArray bytes;
    QByteArray charset;
    for (const QByteArray& word : words) {
        if (word.isEmpty()) continue;
        const QList<QByteArray> parts = word.split('?');
        if (parts.size() != 5 || parts[0] != "=" || parts[4] != "=") return {};
        if (!charset.isEmpty() && parts[1].toLower() != charset) return {};
        charset = parts[1].toLower();
        const QByteArray encoding = parts[2].toUpper();
        if (encoding == "B") {
            const auto decoded = QByteArray::fromBase64Encoding(parts[3], QByteArray::AbortOnBase64DecodingErrors);
            if (!decoded) return {};
            bytes += *decoded;
        } else if (encoding == "Q") {
            const QByteArray& text = parts[3];
            for (qsizetype i = 0; i < text.size(); ++i) {
                if (text[i] == '_') bytes += ' ';
                else if (text[i] == '=' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
                    bytes += char(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
                    i += 2;
                } else bytes += text[i];
            }
        } else {
            return {};
        }
    }
    return inCharset(charset, bytes);
}

bool isControlOrOverride(char32_t c) {
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return true;
    // Bidirectional embeddings, overrides, isolates and marks: "gpj.exe" shown as "exe.jpg".
    return (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) || c == 0x200E || c == 0x200F ||
           c == 0x061C;
}

// Where the extension starts (its dot), or the name's size when it has none: the split the
// numbering of taken names uses, so that ".tar.gz" stays one.
qsizetype extensionStart(const QString& name) {
    const qsizetype dot = Main::NumberingDot(name, kSlash);
    return dot < 0 ? name.size() : dot;
}

QString withoutTrailingBlanks(QString text) {
    qsizetype end = text.size();
    while (end > 0 && text[end - 1].isSpace()) --end;
    text.truncate(end);
    return text;
}

QString cutToBytes(const QString& name, int maxBytes) {
    const qsizetype dot = extensionStart(name);
    const QString extension = name.mid(dot);
    const QString stem = Main::Utf8Prefix(name.left(dot), maxBytes - Main::Utf8Length(extension));
    // An "extension" that leaves no room for the stem is no extension worth keeping.
    if (stem.isEmpty()) return withoutTrailingBlanks(Main::Utf8Prefix(name, maxBytes));
    return withoutTrailingBlanks(stem) + extension;
}

// The media type of a Content-Type value, lower case, without parameters.
QString mediaType(const QByteArray& contentType) {
    QByteArray type = contentType;
    const qsizetype end = type.indexOf(';');
    if (end >= 0) type.truncate(end);
    return QString::fromLatin1(trimmedBlanks(type)).toLower();
}

bool isHtml(const QString& type) {
    return type == QLatin1String("text/html") || type == QLatin1String("application/xhtml+xml");
}

// The usual extension of a specific type; empty for a type that says nothing about the file
// (none, application/octet-stream, text/plain) or one the MIME database does not know.
QString usualExtension(const QString& type) {
    if (type.isEmpty() || type == QLatin1String("application/octet-stream") || type == QLatin1String("text/plain"))
        return {};
    static const QMimeDatabase database;
    const QMimeType mime = database.mimeTypeForName(type);
    if (!mime.isValid() || mime.isDefault()) return {};
    return mime.preferredSuffix();
}

bool isScriptExtension(const QString& extension) {
    static const char* const scripts[] = {"php", "asp", "aspx", "jsp", "cgi", "pl"};
    return std::any_of(std::begin(scripts), std::end(scripts), [&](const char* script) {
        return extension.compare(QLatin1String(script), Qt::CaseInsensitive) == 0;
    });
}

}  // namespace

QString ContentDispositionFileName(const QByteArray& value) {
    QByteArray plain;
    bool havePlain = false;
    for (const Parameter& p : parameters(value)) {
        if (p.name == "filename*") {
            const QString text = extendedValue(p.value);
            if (!text.isEmpty()) return text;
        } else if (p.name == "filename" && !havePlain) {
            plain = p.value;
            havePlain = true;
        }
    }
    const QString encoded = encodedWords(plain);
    return encoded.isEmpty() ? headerText(decodeUtf8Escapes(plain)) : encoded;
}

QString AddressFileName(const QString& url) {
    // The host names no file; neither do the query and the fragment.
    return SegmentFileName(Download::Address(url).lastSegment());
}

QString SegmentFileName(const QString& segment) {
    QString name = QString::fromUtf8(decodeUtf8Escapes(segment.toUtf8()));
    name.replace(kSlash, QLatin1Char('_'));
    name.replace(QLatin1Char('\\'), QLatin1Char('_'));
    return name;
}

QString SafeFileName(const QString& name, int maxBytes) {
    if (maxBytes < 1) return {};
    const qsizetype componentStart = std::max(name.lastIndexOf(kSlash), name.lastIndexOf(QLatin1Char('\\'))) + 1;
    QString clean;
    clean.reserve(name.size() - componentStart);
    for (qsizetype i = componentStart; i < name.size(); ++i) {
        const QChar c = name[i];
        if (c.isHighSurrogate() && i + 1 < name.size() && name[i + 1].isLowSurrogate()) {
            clean.append(c);
            clean.append(name[++i]);
        } else if (!c.isSurrogate() && !isControlOrOverride(c.unicode())) {
            clean.append(c);
        }
    }
    // A leading dot hides the file (and would let a name pass for one of the temporaries).
    qsizetype start = 0;
    while (start < clean.size() && (clean[start] == QLatin1Char('.') || clean[start].isSpace())) ++start;
    clean = withoutTrailingBlanks(clean.mid(start));
    if (Main::Utf8Length(clean) > maxBytes) clean = cutToBytes(clean, maxBytes);
    return clean;
}

QString ChooseFileName(const AnswerFacts& facts, bool useServerName, int maxBytes) {
    maxBytes = std::max(maxBytes, 1);
    const QString type = mediaType(facts.contentType);
    const QString typeExtension = usualExtension(type);
    QString name;
    bool fromServer = false;
    if (useServerName) {
        name = SafeFileName(ContentDispositionFileName(facts.contentDisposition), INT_MAX);
        fromServer = !name.isEmpty();
    }
    if (!fromServer)
        name = SafeFileName(facts.lastSegment ? SegmentFileName(*facts.lastSegment) : AddressFileName(facts.finalUrl), INT_MAX);

    if (name.isEmpty()) {
        if (isHtml(type)) {
            name = QStringLiteral("index.html");
        } else {
            // A host's dots are no extension: "example.com" answered as PDF is "example.com.pdf".
            name = SafeFileName(Download::Address(facts.finalUrl).host(), INT_MAX);
            if (name.isEmpty()) name = QStringLiteral("download");
            if (!typeExtension.isEmpty()) name += QLatin1Char('.') + typeExtension;
        }
    } else if (!typeExtension.isEmpty()) {
        const QString extension = Main::GetExtension(name, kSlash);
        if (extension.isEmpty() || (!fromServer && isScriptExtension(extension)))
            name = Main::StripExtension(name, kSlash) + QLatin1Char('.') + typeExtension;
    }
    const QString safe = SafeFileName(name, maxBytes);
    // Only a limit of a few bytes can leave nothing.
    return safe.isEmpty() ? SafeFileName(QStringLiteral("download"), maxBytes) : safe;
}

}  // namespace Download
