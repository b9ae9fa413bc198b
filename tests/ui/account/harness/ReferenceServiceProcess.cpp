#include "ui/account/harness/ReferenceServiceProcess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTextStream>

namespace brimo::testing {

ReferenceServiceProcess::ReferenceServiceProcess(QString folder) : folder_(std::move(folder)) {
    // Cheap hashing and no rate limits: the tests sign in many times in a row.
    QFile config(folder_ + QStringLiteral("/server.json"));
    if (config.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        config.write(R"({
  "database": "accounts.sqlite",
  "maildir": "mail",
  "accessLog": "off",
  "version": {"version": "2.0.0", "releaseNotes": "Smoother glide.",
              "downloadUrl": "https://brimolavetrix.com/download/2.0.0"},
  "passwordHashing": {"opsLimit": 1, "memLimitKiB": 8},
  "rateLimit": {"perClient": 0, "perAddress": 0}
}
)");
    }
    process_.setProgram(QStringLiteral(BRIMO_SERVER_EXECUTABLE));
    process_.setArguments({QStringLiteral("--config"), config.fileName(),
                           QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0")});
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const auto& name : environment.keys()) {
        if (name.startsWith(QStringLiteral("BRIMO_SERVER_"))) {
            environment.remove(name);
        }
    }
    process_.setProcessEnvironment(environment);
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

ReferenceServiceProcess::~ReferenceServiceProcess() {
    stop();
}

bool ReferenceServiceProcess::start() {
    if (isRunning()) {
        return true;
    }
    port_ = 0;
    process_.start();
    if (!process_.waitForStarted(30000)) {
        QTextStream(stderr) << "brimo-server did not start: " << process_.errorString() << '\n';
        return false;
    }
    static const QRegularExpression listening(
        QStringLiteral("listening on http://127\\.0\\.0\\.1:(\\d+)/api"));
    QString output;
    const QDeadlineTimer deadline(60000);
    while (!deadline.hasExpired() && process_.state() == QProcess::Running) {
        process_.waitForReadyRead(200);
        output += QString::fromUtf8(process_.readAllStandardOutput());
        const auto match = listening.match(output);
        if (match.hasMatch()) {
            port_ = match.captured(1).toUShort();
            return true;
        }
    }
    QTextStream(stderr) << "brimo-server never listened:\n" << output << '\n';
    stop();
    return false;
}

void ReferenceServiceProcess::stop() {
    if (process_.state() == QProcess::NotRunning) {
        return;
    }
    process_.terminate();
    if (!process_.waitForFinished(30000)) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

int ReferenceServiceProcess::mailCount() const {
    return static_cast<int>(
        QDir(folder_ + QStringLiteral("/mail/new")).entryList(QDir::Files).size());
}

}  // namespace brimo::testing
