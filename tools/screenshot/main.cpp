// Renders the real window, connected to a running ba-sim on port 1, to a PNG.
#include "form1.h"
#include "portselection.h"
#include "seriallink.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <cstdio>

namespace {
bool waitFor(const std::function<bool()> &done)
{
    constexpr int kTimeoutMs = 10000;
    return QTest::qWaitFor(done, kTimeoutMs);
}
} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setStyle(QStringLiteral("Fusion"));
    const QStringList args = QApplication::arguments();
    if (args.size() != 2) {
        std::fputs("usage: calvarin-screenshot OUTPUT.png (with ba-sim running as port 1)\n", stderr);
        return 2;
    }

    Form1 window(new SerialLink(DefaultPortFolder()));
    window.show();
    const auto caption = [&](const char *name) {
        return window.findChild<QLabel *>(QString::fromLatin1(name))->text();
    };
    if (!waitFor([&] { return caption("Label20") == QStringLiteral("BA Reset Finish"); })) {
        std::fputs("calvarin-screenshot: no report arrived from port 1\n", stderr);
        return 1;
    }
    // Into test mode, so the log shows the BA's bytes as well.
    window.findChild<QPushButton *>(QStringLiteral("Command8"))->click();
    waitFor([&] { return window.textLength(Control::Text1) >= 7; });

    if (!window.grab().save(args.at(1))) {
        std::fprintf(stderr, "calvarin-screenshot: cannot write %s\n", qPrintable(args.at(1)));
        return 1;
    }
    return 0;
}
