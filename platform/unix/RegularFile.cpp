#include "RegularFile.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace RegularFile {

std::optional<QByteArray> read(const QString& path, qint64 limit, QString& whyNot) {
    const auto failed = [&whyNot](int error) {
        whyNot =
            QStringLiteral("cannot be read (%1)").arg(QString::fromLocal8Bit(std::strerror(error)));
        return std::nullopt;
    };
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return failed(errno);
    QFile file;
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        const int error = errno;
        ::close(fd);
        return failed(error);
    }
    if (!S_ISREG(info.st_mode)) {
        ::close(fd);
        whyNot = QStringLiteral("is not a regular file");
        return std::nullopt;
    }
    if (info.st_size > limit) {
        ::close(fd);
        whyNot = QStringLiteral("is larger than %1 KiB").arg(limit / 1024);
        return std::nullopt;
    }
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        whyNot = QStringLiteral("cannot be read (%1)").arg(file.errorString());
        return std::nullopt;
    }
    // A file that grew since fstat is read as far as the limit.
    QByteArray content = file.read(limit);
    if (file.error() != QFileDevice::NoError) {
        whyNot = QStringLiteral("cannot be read (%1)").arg(file.errorString());
        return std::nullopt;
    }
    return content;
}

} // namespace RegularFile
