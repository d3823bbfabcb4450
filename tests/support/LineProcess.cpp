#include "LineProcess.h"

#include <QDeadlineTimer>
#include <QTest>

namespace {
void split(QByteArray& tail, QByteArray more, QStringList& lines) {
    tail += more;
    qsizetype end;
    while ((end = tail.indexOf('\n')) >= 0) {
        lines << QString::fromUtf8(tail.left(end));
        tail.remove(0, end + 1);
    }
}
} // namespace

LineProcess::~LineProcess() {
    if (process_.state() != QProcess::NotRunning) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

void LineProcess::start(const QString& program, const QStringList& arguments,
                        const QProcessEnvironment& environment) {
    process_.setProcessEnvironment(environment);
    process_.start(program, arguments);
}

void LineProcess::readAll() {
    // What the program wrote and the event loop has not read off the pipe yet counts too.
    if (process_.state() == QProcess::Running)
        process_.waitForReadyRead(0);
    split(outputTail_, process_.readAllStandardOutput(), output_);
    split(errorTail_, process_.readAllStandardError(), errors_);
}

bool LineProcess::waitForLine(const QString& line, int timeoutMs, qsizetype skip) {
    return QTest::qWaitFor(
        [&] {
            readAll();
            return output_.indexOf(line, skip) >= 0;
        },
        timeoutMs);
}

bool LineProcess::waitForLineCount(qsizetype count, int timeoutMs) {
    return QTest::qWaitFor(
        [&] {
            readAll();
            return output_.size() >= count;
        },
        timeoutMs);
}

bool LineProcess::waitForExit(int timeoutMs) {
    const bool ended =
        QTest::qWaitFor([&] { return process_.state() == QProcess::NotRunning; }, timeoutMs);
    readAll();
    return ended;
}

QStringList LineProcess::output() {
    readAll();
    return output_;
}

QStringList LineProcess::errors() {
    readAll();
    return errors_;
}
