#pragma once
#include <QString>

namespace Main {

// An address typed by the user or read from a list file gets "http://" in front unless
// "http://" or "https://" occurs anywhere in it (exact case). Nothing else is touched.
QString EnsureHttpPrefix(const QString& address);

}  // namespace Main
