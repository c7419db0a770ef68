#include "listbuild/EnsureHttpPrefix.h"

namespace Main {

QString EnsureHttpPrefix(const QString& address) {
    if (address.contains(QLatin1String("https://")) || address.contains(QLatin1String("http://")))
        return address;
    return QLatin1String("http://") + address;
}

}  // namespace Main
