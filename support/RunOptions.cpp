#include "support/RunOptions.h"

namespace RunOptions {

namespace {
const QString kAtOnce = QStringLiteral("Downloads At Once");
const QString kSpeedLimit = QStringLiteral("Speed Limit");
const QString kIfExists = QStringLiteral("If File Exists");
const QString kServerNames = QStringLiteral("Server Names");
const QString kSplitBigFiles = QStringLiteral("Split Big Files");
const QString kSkip = QStringLiteral("Skip");
const QString kNumber = QStringLiteral("Number");

int readNumber(const Settings::Store& store, const QString& key, int low, int high, int fallback) {
    bool ok = false;
    const int value = store.read(key, QString()).trimmed().toInt(&ok);
    return ok && value >= low && value <= high ? value : fallback;
}
}  // namespace

Values Read(const Settings::Store& store) {
    Values values;
    values.atOnce = readNumber(store, kAtOnce, kMinAtOnce, kMaxAtOnce, values.atOnce);
    values.speedLimitKBps = readNumber(store, kSpeedLimit, 0, kMaxSpeedLimitKBps, values.speedLimitKBps);
    values.skipExisting = store.read(kIfExists, kNumber).trimmed().compare(kSkip, Qt::CaseInsensitive) == 0;
    auto truth = [&](const QString& key) {
        const QString text = store.read(key, Settings::TruthText(true)).trimmed();
        return text.compare(QStringLiteral("False"), Qt::CaseInsensitive) != 0 && text != QStringLiteral("0");
    };
    values.serverNames = truth(kServerNames);
    values.splitBigFiles = truth(kSplitBigFiles);
    return values;
}

void Write(const Settings::Store& store, const Values& values) {
    store.write(kAtOnce, QString::number(values.atOnce));
    store.write(kSpeedLimit, QString::number(values.speedLimitKBps));
    store.write(kIfExists, values.skipExisting ? kSkip : kNumber);
    store.write(kServerNames, Settings::TruthText(values.serverNames));
    store.write(kSplitBigFiles, Settings::TruthText(values.splitBigFiles));
}

}  // namespace RunOptions
