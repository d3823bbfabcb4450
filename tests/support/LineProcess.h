#pragma once

#include <QProcess>
#include <QStringList>
#include <QTest>

using namespace Qt::StringLiterals;

// A program under test, its standard output and standard error read line by line.
class LineProcess {
public:
    ~LineProcess() { process_.kill(), process_.waitForFinished(5000); }

    // Returns once it runs (or failed to start), so its output can be read with no event loop yet.
    void start(const QString& program, const QStringList& arguments = {},
               const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment()) {
        process_.setProcessEnvironment(environment);
        process_.start(program, arguments);
        process_.waitForStarted();
    }
    bool waitForLine(const QString& line, int timeoutMs = 10000) {
        return QTest::qWaitFor([&] { return output().contains(line); }, timeoutMs);
    }
    bool waitForLineCount(qsizetype count, int timeoutMs = 10000) {
        return QTest::qWaitFor([&] { return output().size() >= count; }, timeoutMs);
    }
    bool waitForErrors(QStringView text, qsizetype count = 1, int timeoutMs = 10000) {
        return QTest::qWaitFor([&] { return errors().filter(text).size() >= count; }, timeoutMs);
    }
    bool waitForExit(int timeoutMs = 10000) {
        const bool ended = QTest::qWaitFor([&] { return !isRunning(); }, timeoutMs);
        return readAll(), ended;
    }
    QStringList output() { return readAll(), output_; }
    QStringList errors() { return readAll(), errors_; }
    int exitCode() const { return process_.exitCode(); }
    bool isRunning() const { return process_.state() != QProcess::NotRunning; }
    qint64 pid() const { return process_.processId(); }
    QProcess& process() { return process_; }

private:
    void readAll() {
        // What the program wrote and the event loop has not read off the pipe yet counts too.
        process_.waitForReadyRead(0);
        split(outputTail_, process_.readAllStandardOutput(), output_);
        split(errorTail_, process_.readAllStandardError(), errors_);
    }
    static void split(QByteArray& tail, const QByteArray& more, QStringList& lines) {
        tail += more;
        for (qsizetype end; (end = tail.indexOf('\n')) >= 0; tail.remove(0, end + 1))
            lines << QString::fromUtf8(tail.left(end));
    }

    QProcess process_;
    QStringList output_, errors_;
    QByteArray outputTail_, errorTail_;
};

// A program run to its end (status -1: it did not end within 20 s), with what it wrote.
struct Run {
    int status = -1;
    QStringList output, errors;
};
inline Run run(const QString& program, const QStringList& arguments = {},
               const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    LineProcess process;
    process.start(program, arguments, env);
    return process.waitForExit(20000) ? Run{process.exitCode(), process.output(), process.errors()}
                                      : Run{};
}
