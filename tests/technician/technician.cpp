// A scripted technician: the real window on SerialLink, on the offscreen
// platform, clicking as a technician would and saying on stdout what it saw.
// The real-driver rig runs it in its QEMU guest, the Windows check under Wine.
//
//   technician --port N [--ports DIR] --script STEP,STEP,...
//
//   open     wait for the port to open         "held DEVICE"
//   report   wait for a whole report           "report V1|V2|V3|X1|...|X6"
//   adjust   click VR Adjust                   "test mode"
//   log      wait for the log to grow and rest "log 110,20,5,..."
//   stream   the same, for a numbered stream   "logged N lost L disorder D"
//   exit     click the test-mode Exit          "exit"
//   gone     wait for the port to close        "gone STATUS"
//   reopen   wait for it to open again         "held again"
//
// Until the port first opens it says "status TEXT" whenever the tooltip's
// reason changes. When the script is done it says "done" and ends.
#include "form1.h"
#include "numberedstream.h"
#include "portstatustext.h"
#include "seriallink.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

namespace {
// A log that has not grown for this long is complete.
constexpr qint64 kQuietMs = 3000;
constexpr int kWatchMs = 20;
// Time for the last command's bytes to leave before the program ends.
constexpr int kGoodbyeMs = 1000;
const QString kEcho = QStringLiteral("110\r\n20\r\n"); // the BA's echo of the enter command

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

// The log against the numbered stream 0, 1, ... 255, 0, ..., after the echo
// of the enter command if the BA sent one.
QString streamVerdict(QString log)
{
    if (log.startsWith(kEcho))
        log.remove(0, kEcho.size());
    const NumberedStream stream = NumberedStream::of(log);
    return QStringLiteral("logged %1 lost %2 disorder %3").arg(stream.lines).arg(stream.lost).arg(stream.disorder);
}
} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = QApplication::arguments();
    QStringList script = option(args, QStringLiteral("--script")).split(u',', Qt::SkipEmptyParts);

    Form1 window(new SerialLink(option(args, QStringLiteral("--ports"))));
    window.findChild<QLineEdit *>(QStringLiteral("Text2"))->setText(option(args, QStringLiteral("--port")));
    window.show();
    const auto caption = [&](const char *name) {
        return window.findChild<QLabel *>(QString::fromLatin1(name))->text();
    };
    const auto click = [&](const char *name) { window.findChild<QPushButton *>(QString::fromLatin1(name))->click(); };

    bool everOpen = false;
    QString lastStatus;
    qsizetype logLength = 0;
    QElapsedTimer quiet;
    QTimer watch;
    // Each step returns true when it is done.
    const auto step = [&](const QString &name) {
        const bool open = window.link().PortOpen();
        if (name == u"open") {
            if (open)
                say(QStringLiteral("held %1").arg(window.link().portStatus().device));
            return open;
        }
        if (name == u"report") {
            if (caption("Label20") != QStringLiteral("BA Reset Finish"))
                return false;
            QStringList fields;
            for (const char *label :
                 {"Label5", "Label6", "Label7", "Label14", "Label15", "Label16", "Label17", "Label18", "Label19"})
                fields << caption(label);
            say(QStringLiteral("report ") + fields.join(u'|'));
            window.setCaption(Control::Label20, QString()); // the next report is a new one
            return true;
        }
        if (name == u"adjust" || name == u"exit") {
            click(name == u"adjust" ? "Command8" : "Command1");
            say(name == u"adjust" ? QStringLiteral("test mode") : QStringLiteral("exit"));
            logLength = 0;
            quiet.start();
            return true;
        }
        if (name == u"log" || name == u"stream") {
            if (window.textLength(Control::Text1) != logLength) {
                logLength = window.textLength(Control::Text1);
                quiet.start();
                return false;
            }
            if (logLength == 0 || quiet.elapsed() < kQuietMs)
                return false;
            const QString log = window.text(Control::Text1);
            say(name == u"log"
                        ? QStringLiteral("log ") + QString(log).replace(QStringLiteral("\r\n"), QStringLiteral(","))
                        : streamVerdict(log));
            return true;
        }
        if (name == u"gone") {
            if (!open)
                say(QStringLiteral("gone %1").arg(PortStatusText(window.link().portStatus())));
            return !open;
        }
        if (name == u"reopen") {
            if (open)
                say(QStringLiteral("held again"));
            return open;
        }
        say(QStringLiteral("unknown step %1").arg(name));
        QCoreApplication::exit(2);
        return false;
    };
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (!everOpen) {
            everOpen = window.link().PortOpen();
            if (const QString now = PortStatusText(window.link().portStatus()); now != lastStatus && !everOpen)
                say(QStringLiteral("status %1").arg(lastStatus = now));
        }
        while (!script.isEmpty() && step(script.first()))
            script.removeFirst();
        if (script.isEmpty()) {
            say(QStringLiteral("done"));
            watch.stop();
            QTimer::singleShot(kGoodbyeMs, &app, &QCoreApplication::quit);
        }
    });
    watch.start(kWatchMs);
    return QApplication::exec();
}
