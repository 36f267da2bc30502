// What a connection per item costs: logs N plays with LogPlay, which connects
// for each, and N more on one connection kept open, the upper bound.
//   quaverlink-playlog-bench SERVER USER PASSWORD [N]
#include "playlog/logplay.h"
#include "playlog/playrecord.h"
#include "playlog/playstore.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>

using namespace quaverlink;

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 4) {
        std::fprintf(stderr, "usage: %s SERVER USER PASSWORD [N]\n", argv[0]);
        return 2;
    }
    const DatabaseLogin login {args[2], args[3], args[1]};
    const int items = args.size() > 4 ? args[4].toInt() : 2000;
    try {
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < items; ++i) {
            LogPlay(login, u"Per item %1 - Title"_qs.arg(i));
        }
        const double perItem = items * 1000.0 / double(timer.elapsed());

        const odbc::Handle connection = connectPlayLog(ConnectionString(login.user, login.password, login.server));
        timer.restart();
        for (int i = 0; i < items; ++i) {
            storePlayRecord(connection, MakePlayRecord(u"Kept open %1 - Title"_qs.arg(i), QDateTime::currentDateTime()));
        }
        const double keptOpen = items * 1000.0 / double(timer.elapsed());

        std::printf("| Play history, in process: rows per second with a connection per item | %.0f | | | | |\n", perItem);
        std::printf("| Play history, in process: rows per second on one kept-open connection (upper bound) | %.0f | | | | |\n", keptOpen);
    } catch (const std::exception &failure) {
        std::fprintf(stderr, "%s\n", failure.what());
        return 1;
    }
    return 0;
}
