// ba-sim: a made-up BA on a pseudo-terminal, published as port N for the tool.
#include "basimulator.h"
#include "linewriter.h"
#include "portclaim.h"
#include "portselection.h"
#include "quitonsignals.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>

#include <limits>
#include <memory>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// How often a line whose tool side is closed is looked at.
constexpr int kFarEndLookMs = 100;

void say(const QString &line)
{
    QTextStream(stdout) << "ba-sim: " << line << Qt::endl;
}

[[noreturn]] void refuse(const QString &why)
{
    QTextStream(stderr) << "ba-sim: " << why << Qt::endl;
    std::exit(EXIT_FAILURE);
}

// Keys act at once when the simulator runs in a terminal.
struct RawKeys
{
    termios saved{};
    bool active = false;
    RawKeys()
    {
        if (::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &saved) == 0) {
            termios raw = saved;
            raw.c_lflag &= ~tcflag_t(ICANON | ECHO);
            active = ::tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
        }
    }
    ~RawKeys()
    {
        if (active)
            ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    }
};

int positiveOption(const QCommandLineParser &options, const QString &name, int fallback,
                   int max = std::numeric_limits<int>::max())
{
    if (!options.isSet(name))
        return fallback;
    bool ok = false;
    const int value = options.value(name).toInt(&ok);
    if (!ok || value <= 0 || value > max)
        refuse(QStringLiteral("--%1 needs a whole number from 1 to %2").arg(name).arg(max));
    return value;
}

BaIdentity identityFrom(const QCommandLineParser &options)
{
    BaIdentity identity;
    if (options.isSet(QStringLiteral("system")))
        identity.system = options.value(QStringLiteral("system")).toLatin1();
    if (options.isSet(QStringLiteral("device")))
        identity.device = options.value(QStringLiteral("device")).toLatin1();
    if (options.isSet(QStringLiteral("validate")))
        identity.validate = options.value(QStringLiteral("validate")).toLatin1();
    if (options.isSet(QStringLiteral("values"))) {
        const QStringList values = options.value(QStringLiteral("values")).split(u',');
        if (values.size() != int(identity.values.size()))
            refuse(QStringLiteral("--values needs six hexadecimal values, comma-separated"));
        for (size_t i = 0; i < identity.values.size(); ++i) {
            bool ok = false;
            const uint value = values[qsizetype(i)].toUInt(&ok, 16);
            if (!ok || value > 0xFFFF)
                refuse(QStringLiteral("--values: %1 is not a value from 0 to FFFF").arg(values[qsizetype(i)]));
            identity.values[i] = quint16(value);
        }
    }
    return identity;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ba-sim"));

    QCommandLineParser options;
    options.setApplicationDescription(
            QStringLiteral("A made-up BA on a pseudo-terminal, published as port N for the tool.\n"
                           "Keys: r = reset (send the report), c = white card (in test mode),\n"
                           "s = start or stop the numbered stream, q = quit."));
    options.addHelpOption();
    options.addOptions({
            {QStringLiteral("port"), QStringLiteral("Port number to publish as (1-255)."), QStringLiteral("N"),
             QStringLiteral("1")},
            {QStringLiteral("port-folder"), QStringLiteral("Folder of the comN links."), QStringLiteral("dir"),
             DefaultPortFolder()},
            {QStringLiteral("report-on-start"), QStringLiteral("Send the report once the tool first holds the port.")},
            {QStringLiteral("reset-every"), QStringLiteral("Reset, and so send the report, every S seconds."),
             QStringLiteral("S")},
            {QStringLiteral("stream"), QStringLiteral("Stream numbered bytes at R bytes/s."), QStringLiteral("R")},
            {QStringLiteral("pace"), QStringLiteral("Line pace in bytes/s (960 is 9600 baud)."), QStringLiteral("R")},
            {QStringLiteral("system"), QStringLiteral("System version text (3 characters)."), QStringLiteral("text")},
            {QStringLiteral("device"), QStringLiteral("Device version text (2 characters)."), QStringLiteral("text")},
            {QStringLiteral("validate"), QStringLiteral("Validate version text (4 characters)."),
             QStringLiteral("text")},
            {QStringLiteral("values"), QStringLiteral("Six values, hexadecimal, comma-separated."),
             QStringLiteral("list")},
    });
    options.process(app);

    bool portOk = false;
    const int port = options.value(QStringLiteral("port")).toInt(&portOk);
    if (!portOk)
        refuse(QStringLiteral("--port needs a number from 1 to 255"));
    const int pace = positiveOption(options, QStringLiteral("pace"), BaSimulator::kLineBytesPerSecond);
    // Seconds become a timer's milliseconds, which must fit an int.
    const int resetEvery = positiveOption(options, QStringLiteral("reset-every"), 0,
                                          std::numeric_limits<int>::max() / 1000);
    const int stream = positiveOption(options, QStringLiteral("stream"), 0);
    const BaIdentity identity = identityFrom(options);

    QString why;
    auto claim = PortClaim::claim(options.value(QStringLiteral("port-folder")), port, &why);
    if (!claim)
        refuse(why);

    QuitOnSignals(app);

    BaSimulator ba(identity, pace);
    QObject::connect(&ba, &BaSimulator::said, &say);

    // The line as the tool's side sees it; made anew when a hang-up left the
    // old one exclusive to an open that is gone.
    std::unique_ptr<LineWriter> line;
    std::unique_ptr<QSocketNotifier> readable;
    QTimer farEnd; // while nobody has the tool's side open
    farEnd.setInterval(kFarEndLookMs);
    bool seenOpen = false;
    // A silent line, looked at now and then: the BA sends only while the tool
    // holds its side, since an open empties the line.
    const auto pause = [&] {
        readable->setEnabled(false);
        line->setPaused(true);
        seenOpen = false;
        farEnd.start();
    };
    const auto attach = [&] {
        line = std::make_unique<LineWriter>(claim->controlFd());
        readable = std::make_unique<QSocketNotifier>(claim->controlFd(), QSocketNotifier::Read);
        QObject::connect(readable.get(), &QSocketNotifier::activated, &app, [&] {
            char buffer[512];
            const ssize_t n = ::read(claim->controlFd(), buffer, sizeof buffer);
            if (n > 0)
                ba.receive(QByteArray(buffer, n));
            else if (n == 0 || errno != EAGAIN)
                pause(); // the tool's side closed
        });
        pause();
    };
    attach();
    QObject::connect(&farEnd, &QTimer::timeout, &app, [&] {
        pollfd hup{claim->controlFd(), POLLIN, 0};
        if (::poll(&hup, 1, 0) >= 0 && !(hup.revents & POLLHUP)) {
            // Open at two looks in a row: the tool's open, and the flush that
            // follows it, are over.
            if (!std::exchange(seenOpen, true))
                return;
            farEnd.stop();
            readable->setEnabled(true);
            line->setPaused(false);
            return;
        }
        seenOpen = false;
        if (!claim->lockedOut())
            return;
        QString why;
        if (!claim->renew(&why)) {
            // Through the event loop, so that the terminal gets its echo back.
            QTextStream(stderr) << "ba-sim: " << why << Qt::endl;
            farEnd.stop();
            QCoreApplication::exit(EXIT_FAILURE);
            return;
        }
        say(QStringLiteral("the line hung up; port %1 is now %2").arg(port).arg(claim->devicePath()));
        attach();
    });
    QObject::connect(&ba, &BaSimulator::transmit, &app, [&](const QByteArray &bytes) { line->send(bytes); });
    ba.setBacklog([&line] { return line->backlog(); });

    RawKeys keys;
    QSocketNotifier typed(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&typed, &QSocketNotifier::activated, &app, [&] {
        char key = 0;
        if (::read(STDIN_FILENO, &key, 1) != 1) {
            typed.setEnabled(false); // stdin closed: keep running on options alone
            return;
        }
        switch (key) {
        case 'r': ba.reset(); break;
        case 'c': ba.insertCard(); break;
        case 's':
            if (ba.streaming()) {
                ba.startStream(0);
                say(QStringLiteral("stream stopped after %1 bytes").arg(ba.streamed()));
            } else {
                const int rate = stream > 0 ? stream : BaSimulator::kLineBytesPerSecond;
                ba.startStream(rate);
                say(QStringLiteral("stream: numbered bytes at %1 bytes/s").arg(rate));
            }
            break;
        case 'q': QCoreApplication::quit(); break;
        default: break;
        }
    });

    QTimer resets;
    QObject::connect(&resets, &QTimer::timeout, &ba, &BaSimulator::reset);
    if (resetEvery > 0)
        resets.start(resetEvery * 1000);
    if (stream > 0)
        ba.startStream(stream);

    say(QStringLiteral("port %1 published: %2 -> %3").arg(port).arg(claim->linkPath(), claim->devicePath()));
    say(QStringLiteral("keys: r = reset, c = white card, s = stream, q = quit"));
    if (options.isSet(QStringLiteral("report-on-start")))
        ba.reset();

    const int result = QCoreApplication::exec();
    claim->release();
    say(QStringLiteral("port %1 released").arg(port));
    return result;
}
