#include "support/RunOptions.h"

namespace RunOptions {

namespace {
const QString kAtOnce = QStringLiteral("Downloads At Once");
const QString kSpeedLimit = QStringLiteral("Speed Limit");

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
    return values;
}

void Write(const Settings::Store& store, const Values& values) {
    store.write(kAtOnce, QString::number(values.atOnce));
    store.write(kSpeedLimit, QString::number(values.speedLimitKBps));
}

}  // namespace RunOptions
