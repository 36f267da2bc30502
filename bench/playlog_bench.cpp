// What the play history costs off the air path: how fast the keeper writes
// plays to the spool one at a time (each reaches the disk), and how fast the
// uploader drains a spool of N plays into the database, a connection each.
//   quaverlink-playlog-bench SERVER USER PASSWORD [N]
#include "common/literals.h"
#include "playlog/playhistory.h"
#include "playlog/playspool.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

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
    const int plays = args.size() > 4 ? args[4].toInt() : 10000;
    QTemporaryDir folder;
    const QByteArray spoolPath = QFile::encodeName(folder.filePath(u"playhistory.sqlite"_s));
    try {
        QElapsedTimer timer;
        double keptPerSecond = 0;
        {
            PlaySpool spool(spoolPath);
            timer.start();
            for (int i = 0; i < plays; ++i) {
                spool.keep({{0, u"Spooled %1 - Title"_s.arg(i), u"2026-12-07 10:00:00"_s}});
            }
            keptPerSecond = plays * 1000.0 / double(qMax<qint64>(timer.elapsed(), 1));
        }
        PlayHistory::Options options;
        options.spoolPath = spoolPath;
        options.login = {args[2], args[3], args[1]};
        PlayHistory history(options);
        timer.restart();
        QObject::connect(&history, &PlayHistory::caughtUp, &app, &QCoreApplication::quit);
        app.exec();
        const double storedPerSecond = plays * 1000.0 / double(qMax<qint64>(timer.elapsed(), 1));
        std::printf("| Play history: plays kept in the spool per second, one transaction each | %.0f | | | | |\n",
                    keptPerSecond);
        std::printf("| Play history: rows per second draining a spool of %d plays | %.0f | | | | |\n", plays,
                    storedPerSecond);
    } catch (const std::exception &failure) {
        std::fprintf(stderr, "%s\n", failure.what());
        return 1;
    }
    return 0;
}
