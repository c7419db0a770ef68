// Fuzz target: file naming from what an answer says. The input is a Content-Disposition value,
// then (after a line break) a Content-Type value, then an address. Whatever they hold, the chosen
// name must be one safe component that naming again leaves as it is; and a name sent as an
// RFC 8187 extended value must come back exactly.
#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>
#include <cstdlib>

#include "download/FileNaming.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

void checkSafe(const QString& name, int maxBytes) {
    check(name.toUtf8().size() <= maxBytes);
    check(!name.startsWith(QLatin1Char('.')));
    check(name != QLatin1String("..") && name != QLatin1String("."));
    for (qsizetype i = 0; i < name.size(); ++i) {
        const char16_t c = name[i].unicode();
        check(c != u'/' && c != u'\\');
        check(c >= 0x20 && !(c >= 0x7F && c <= 0x9F));
        if (name[i].isHighSurrogate()) check(i + 1 < name.size() && name[++i].isLowSurrogate());
        else check(!name[i].isSurrogate());
    }
    check(Download::SafeFileName(name, maxBytes) == name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 1 << 14) return 0;
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QList<QByteArray> parts = input.split('\n');
    Download::AnswerFacts facts;
    facts.contentDisposition = parts.value(0);
    facts.contentType = parts.value(1);
    facts.finalUrl = QString::fromUtf8(parts.value(2));
    // The first byte also picks a byte limit, so that short limits are cut too.
    const int maxBytes = size > 0 ? 1 + data[0] % 255 : 255;

    const QString serverName = Download::ContentDispositionFileName(facts.contentDisposition);
    const QString addressName = Download::AddressFileName(facts.finalUrl);
    check(!addressName.contains(QLatin1Char('/')) && !addressName.contains(QLatin1Char('\\')));
    for (const QString& raw : {serverName, addressName, QString::fromUtf8(input), QString::fromLatin1(input)})
        checkSafe(Download::SafeFileName(raw, maxBytes), maxBytes);

    for (bool useServerName : {true, false}) {
        const QString full = Download::ChooseFileName(facts, useServerName);
        check(!full.isEmpty());
        checkSafe(full, 255);
        const QString cut = Download::ChooseFileName(facts, useServerName, maxBytes);
        check(!cut.isEmpty());
        checkSafe(cut, maxBytes);
    }

    // Any UTF-8 text sent as filename* comes back unchanged, whatever plain name is beside it.
    const QString text = QString::fromUtf8(input);
    if (!text.isEmpty() && text.toUtf8() == input) {
        const QByteArray header =
            "attachment; filename=\"x\"; filename*=UTF-8''" + input.toPercentEncoding() + ";";
        check(Download::ContentDispositionFileName(header) == text);
    }
    return 0;
}
