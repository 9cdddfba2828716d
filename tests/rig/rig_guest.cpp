// Runs inside the rig's QEMU guest: the real window on SerialLink, on the
// offscreen platform, against a kernel serial driver whose far end the host
// plays. It clicks as a technician would and says on stdout what it saw:
//
//   status TEXT            why the port is not open yet
//   held DEVICE            the port is open
//   report                 a whole report was shown
//   test mode              VR Adjust was clicked
//   logged N lost L disorder D    the test-mode log, once the stream stopped
//   gone STATUS            the device went away under the open port
//   held again             it is open again
//
//   rig_guest --ports DIR --port N --mode stream|replug
#include "form1.h"
#include "seriallink.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

namespace {
// The stream is over once the log has not grown for this long.
constexpr qint64 kQuietMs = 3000;
constexpr int kWatchMs = 20;

void say(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

QString option(const QStringList &args, const QString &name)
{
    const qsizetype at = args.indexOf(name);
    return at >= 0 && at + 1 < args.size() ? args[at + 1] : QString();
}

// The log against the numbered stream 0, 1, ... 255, 0, ...
QString verdict(const QString &log)
{
    const QStringList lines = log.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    qint64 expected = 0, lost = 0, disorder = 0;
    for (const QString &line : lines) {
        const int ahead = (line.toInt() - int(expected & 0xFF) + 256) % 256;
        if (ahead == 0) {
            ++expected;
        } else if (ahead < 128) {
            lost += ahead;
            expected += ahead + 1;
        } else {
            ++disorder;
        }
    }
    return QStringLiteral("logged %1 lost %2 disorder %3").arg(lines.size()).arg(lost).arg(disorder);
}
} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = QApplication::arguments();
    const bool replug = option(args, QStringLiteral("--mode")) == QStringLiteral("replug");

    Form1 window(new SerialLink(option(args, QStringLiteral("--ports"))));
    window.findChild<QLineEdit *>(QStringLiteral("Text2"))->setText(option(args, QStringLiteral("--port")));
    window.show();
    const auto status = [&] { return window.findChild<QLabel *>(QStringLiteral("Label20"))->text(); };
    const auto click = [&](const char *name) { window.findChild<QPushButton *>(QString::fromLatin1(name))->click(); };

    enum class Step { Opening, Report, Logging, Held, Gone, ReportAgain };
    Step step = Step::Opening;
    qsizetype logLength = 0;
    QString lastStatus;
    QElapsedTimer quiet;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const bool open = window.link().PortOpen();
        switch (step) {
        case Step::Opening:
            if (const QString now = PortStatusText(window.link().portStatus()); now != lastStatus)
                say(QStringLiteral("status %1").arg(lastStatus = now));
            if (open) {
                say(QStringLiteral("held %1").arg(window.link().portStatus().device));
                step = Step::Report;
            }
            break;
        case Step::Report:
            if (status() != QStringLiteral("BA Reset Finish"))
                break;
            say(QStringLiteral("report"));
            if (replug) {
                step = Step::Held;
                break;
            }
            click("Command8");
            say(QStringLiteral("test mode"));
            step = Step::Logging;
            quiet.start();
            break;
        case Step::Logging:
            if (window.textLength(Control::Text1) != logLength) {
                logLength = window.textLength(Control::Text1);
                quiet.start();
            } else if (logLength > 0 && quiet.elapsed() > kQuietMs) {
                say(verdict(window.text(Control::Text1)));
                click("Command1");
                say(QStringLiteral("exit"));
                watch.stop();
                QTimer::singleShot(1000, &app, &QCoreApplication::quit);
            }
            break;
        case Step::Held:
            if (!open) {
                say(QStringLiteral("gone %1").arg(PortStatusText(window.link().portStatus())));
                step = Step::Gone;
            }
            break;
        case Step::Gone:
            if (open) {
                say(QStringLiteral("held again"));
                window.setCaption(Control::Label20, QString());
                step = Step::ReportAgain;
            }
            break;
        case Step::ReportAgain:
            if (status() == QStringLiteral("BA Reset Finish")) {
                say(QStringLiteral("report again"));
                watch.stop();
                QTimer::singleShot(200, &app, &QCoreApplication::quit);
            }
            break;
        }
    });
    watch.start(kWatchMs);
    return QApplication::exec();
}
