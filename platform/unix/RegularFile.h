#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace RegularFile {

// The whole content of the regular file at `path`, of at most `limit` bytes. It is opened without
// waiting and checked on the open descriptor: a FIFO or a device put in its place in a folder the
// user may write would otherwise wait for a writer and freeze the caller. None for anything else,
// with why in `whyNot` ("is not a regular file", "is larger than 64 KiB", "cannot be read (…)").
std::optional<QByteArray> read(const QString& path, qint64 limit, QString& whyNot);

} // namespace RegularFile
