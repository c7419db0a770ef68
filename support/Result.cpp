#include "support/Result.h"

#include <cstring>

namespace Fw {

Error Error::fromErrno(int code) { return failed(QString::fromLocal8Bit(std::strerror(code)), code); }

Error Error::fromErrno(const QString& context, int code) {
    return failed(context + QString::fromLocal8Bit(std::strerror(code)), code);
}

}  // namespace Fw
