#include "listbuild/Sequences.h"

#include <QCoreApplication>
#include <QLocale>
#include <QRegularExpression>

#include "listbuild/UserAddress.h"
#include "support/WebUrl.h"

#include <cerrno>
#include <vector>

namespace Main {

namespace {
// A run of literal text followed by the values of one range (none after the last run).
struct Part {
    QString literal;
    QStringList values;
};

QString Grouped(qulonglong n) { return QLocale(QLocale::English).toString(n); }

Fw::Error Fault(const QString& what, qsizetype at) {
    return Fw::Error::failed(QCoreApplication::translate("Sequences", "%1 (at character %2)").arg(what, QString::number(at + 1)));
}

// What a refusal for the number of entries carries, so that an action can tell it from a fault.
constexpr int kTooManyCode = E2BIG;

// `count` 0: too many to say.
Fw::Error TooMany(qulonglong count, qsizetype most) {
    const QString many = count ? Grouped(count) : QCoreApplication::translate("Sequences", "more than %1").arg(Grouped(qulonglong(most)));
    return Fw::Error::failed(QCoreApplication::translate("Sequences", "This address gives %1 entries; at most %2 are taken from one address")
                                 .arg(many, Grouped(qulonglong(most))),
                             kTooManyCode);
}

bool IsEscapable(QChar c) {
    return c == u'[' || c == u']' || c == u'{' || c == u'}';
}

// Where the path begins: after the scheme's "//" and the host, so that "[::1]" stays a host.
qsizetype PathStart(QStringView text) {
    qsizetype from = 0;
    const qsizetype scheme = text.indexOf(u"://");
    if (scheme > 0) {
        bool plain = true;
        for (qsizetype i = 0; i < scheme && plain; ++i) plain = text[i] != u'/' && text[i] != u'?' && text[i] != u'#';
        if (plain) from = scheme + 3;
    }
    for (qsizetype i = from; i < text.size(); ++i)
        if (text[i] == u'/' || text[i] == u'\\' || text[i] == u'?' || text[i] == u'#') return i;
    return text.size();
}

// The values of "[from-to:step]", or a fault; nothing when the brackets hold no range at all.
std::optional<Fw::Result<QStringList>> NumberedRange(const QString& inside, qsizetype at, qsizetype most) {
    static const QRegularExpression shape(QStringLiteral(R"(^\s*(\d+|[A-Za-z])\s*-\s*(\d+|[A-Za-z])\s*(?::\s*(\S*)\s*)?$)"));
    const QRegularExpressionMatch m = shape.match(inside);
    if (!m.hasMatch()) return std::nullopt;
    const QString shown = QLatin1Char('[') + inside + QLatin1Char(']');
    const QString first = m.captured(1), last = m.captured(2);
    const bool letters = first[0].isLetter();
    if (letters != last[0].isLetter()) return Fault(QCoreApplication::translate("Sequences", "Range %1 mixes letters and numbers").arg(shown), at);
    if (letters && first[0].isUpper() != last[0].isUpper())
        return Fault(QCoreApplication::translate("Sequences", "Range %1 mixes lower and upper case").arg(shown), at);
    if (first.size() > 18 || last.size() > 18) return Fault(QCoreApplication::translate("Sequences", "Range %1 has a number too long").arg(shown), at);
    qulonglong step = 1;
    if (m.capturedLength(3) > 0 || m.captured(0).contains(u':')) {
        bool ok = false;
        step = m.captured(3).toULongLong(&ok);
        if (!ok || step == 0 || m.captured(3).size() > 18)
            return Fault(QCoreApplication::translate("Sequences", "Range %1 needs a step of 1 or more").arg(shown), at);
    }
    const qulonglong low = letters ? first[0].unicode() : first.toULongLong();
    const qulonglong high = letters ? last[0].unicode() : last.toULongLong();
    if (low > high) return Fault(QCoreApplication::translate("Sequences", "Range %1 runs backwards").arg(shown), at);
    const qulonglong count = (high - low) / step + 1;
    if (count > qulonglong(most)) return TooMany(count, most);
    QStringList values;
    values.reserve(qsizetype(count));
    for (qulonglong v = low; v <= high; v += step) {
        values << (letters ? QString(QChar(char16_t(v))) : QString::number(v).rightJustified(first.size(), u'0'));
        if (high - v < step) break;  // v + step would pass the end (or wrap)
    }
    return Fw::Result<QStringList>(values);
}

// "{a,b,c}" from the "{" at `open`: its items and where it ends, or nothing when it holds no
// comma (then it is plain text), or a fault when it never closes.
std::optional<Fw::Result<QStringList>> ListRange(QStringView text, qsizetype open, qsizetype& end) {
    QStringList items{QString()};
    for (qsizetype i = open + 1; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == u'\\' && i + 1 < text.size() && (IsEscapable(text[i + 1]) || text[i + 1] == u',')) {
            items.back() += text[++i];
        } else if (c == u',') {
            items << QString();
        } else if (c == u'}') {
            end = i + 1;
            if (items.size() < 2) return std::nullopt;
            return Fw::Result<QStringList>(items);
        } else {
            items.back() += c;
        }
    }
    return Fault(QCoreApplication::translate("Sequences", "The list \"{\" is not closed; write \\{ for a brace"), open);
}
}  // namespace

Fw::Result<QStringList> ExpandSequences(QStringView address, qsizetype most) {
    std::vector<Part> parts(1);
    const qsizetype pathStart = PathStart(address);
    parts.back().literal = address.left(pathStart).toString();
    for (qsizetype i = pathStart; i < address.size(); ++i) {
        const QChar c = address[i];
        if (c == u'\\' && i + 1 < address.size() && IsEscapable(address[i + 1])) {
            parts.back().literal += address[++i];
            continue;
        }
        // The fragment never reaches the server: it stays as typed.
        if (c == u'#') {
            parts.back().literal += address.mid(i);
            break;
        }
        std::optional<Fw::Result<QStringList>> range;
        qsizetype end = i + 1;
        if (c == u'[') {
            const qsizetype close = address.indexOf(u']', i + 1);
            if (close < 0) return Fault(QCoreApplication::translate("Sequences", "The range \"[\" is not closed; write \\[ for a bracket"), i);
            range = NumberedRange(address.mid(i + 1, close - i - 1).toString(), i, most);
            end = close + 1;
        } else if (c == u'{') {
            range = ListRange(address, i, end);
        }
        if (!range) {
            parts.back().literal += c;
            continue;
        }
        if (!range->ok()) return range->error();
        parts.back().values = std::move(range->value());
        parts.emplace_back();
        i = end - 1;
    }

    // How many, before making any.
    qulonglong total = 1;
    for (const Part& part : parts)
        if (!part.values.isEmpty() && __builtin_mul_overflow(total, qulonglong(part.values.size()), &total))
            return TooMany(0, most);
    if (total > qulonglong(most)) return TooMany(total, most);

    QStringList out;
    out.reserve(qsizetype(total));
    std::vector<qsizetype> at(parts.size(), 0);  // an odometer, the last range turning fastest
    for (;;) {
        QString one;
        for (std::size_t k = 0; k < parts.size(); ++k) {
            one += parts[k].literal;
            if (!parts[k].values.isEmpty()) one += parts[k].values[at[k]];
        }
        out << one;
        std::size_t k = parts.size();
        while (k > 0) {
            --k;
            if (parts[k].values.isEmpty()) continue;
            if (++at[k] < parts[k].values.size()) break;
            at[k] = 0;
            if (k == 0) return out;
        }
        if (k == 0 && at[0] == 0) return out;
    }
}

QStringList AddressesFromTypedLines(QStringView text, NotAdded& notAdded, QStringList& faults) {
    QStringList added;
    for (QStringView line : text.tokenize(u'\n'))
        for (QStringView part : line.tokenize(u'\r')) {
            const QStringView typed = part.trimmed();
            if (typed.isEmpty()) continue;
            // The bound holds for the action as a whole: lines after it add nothing.
            const qsizetype left = kMostFromOneAddress - added.size() - notAdded.count;
            const Fw::Result<QStringList> expanded =
                left > 0 ? ExpandSequences(typed, left) : Fw::Result<QStringList>(Fw::Error::failed({}, kTooManyCode));
            if (!expanded && expanded.error().code == kTooManyCode && left < kMostFromOneAddress) {
                faults << QCoreApplication::translate("Sequences", "At most %1 entries are taken from one Add One URL; this line would give more\n%2")
                              .arg(Grouped(qulonglong(kMostFromOneAddress)), typed.toString());
                continue;
            }
            if (!expanded) {
                faults << expanded.error().text + QLatin1Char('\n') + typed.toString();
                continue;
            }
            // Every text shares what comes before the path (ranges lie after it), so after the
            // first the rest is resolved against it: the host is read once, not 100,000 times.
            const qsizetype restAt = PathStart(typed);
            WebUrl::Url first, one;
            bool haveFirst = false;
            for (const QString& text : *expanded) {
                const QByteArray rest = text.mid(restAt).toUtf8();
                bool plain = haveFirst && !rest.isEmpty();
                for (char c : rest) plain = plain && static_cast<unsigned char>(c) > 0x20;
                bool ok = false;
                if (plain) {
                    ok = WebUrl::Parse(std::string_view(rest.constData(), std::size_t(rest.size())), &first, one);
                } else {
                    const QByteArray utf8 = text.toUtf8();
                    ok = WebUrl::FromUserText(std::string_view(utf8.constData(), std::size_t(utf8.size())), one);
                    if (ok && !haveFirst) {
                        first = one;
                        haveFirst = true;
                    }
                }
                if (ok) added << QString::fromLatin1(one.href.data(), qsizetype(one.href.size()));
                else notAdded.note(text);
            }
        }
    return added;
}

}  // namespace Main
