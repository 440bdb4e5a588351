#include "ui/quidney_app.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QLibraryInfo>
#include <QTimer>
#include <QTranslator>
#include <algorithm>
#include <csignal>
#include <cstdio>

#include "ui/gui_icons.h"
#include "ui/gui_text.h"
#include "document/document.h"
#include "ui/about_dlg.h"
#include "ui/main_frame.h"
#include "ui/qt_prompts.h"
#include "remote/remote_source.h"
#include "volume/drive_table.h"

namespace harrow::gui {
namespace {

const std::pair<const char*, ListMode> kModes[] = {{"basic-root", ID_LIST_BASICROOT},
                                                   {"search-root", ID_LIST_SEARCHROOT},
                                                   {"lost", ID_LIST_LOSTDIRS},
                                                   {"all-dirs", ID_LIST_ALLDIRS},
                                                   {"all-files", ID_LIST_ALLFILES}};
const std::pair<const char*, int> kStyles[] = {{"large", ID_VIEW_LARGEICON},
                                               {"small", ID_VIEW_SMALLICON},
                                               {"list", ID_VIEW_LIST},
                                               {"details", ID_VIEW_DETAILS}};

// Notes when the list is first painted with rows in it.
// The longest the event loop kept a timer of a few milliseconds waiting: how long the window
// did not answer.
class LoopWaits : public QObject {
public:
    LoopWaits() {
        timer_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer_, &QTimer::timeout, this, [this] {
            const qint64 now = clock_.nsecsElapsed();
            longest_ = std::max(longest_, now - last_);
            last_ = now;
        });
        clock_.start();
        timer_.start(kTickMs);
    }
    double longestMs() const { return std::max<qint64>(0, longest_ - kTickMs * 1000000) / 1e6; }

private:
    static constexpr int kTickMs = 5;
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 last_ = 0, longest_ = 0;
};

class FirstPaint : public QObject {
public:
    FirstPaint(QWidget* viewport, const QElapsedTimer& clock, qint64 openedAt, int rows, const LoopWaits& waits)
        : clock_(clock), openedAt_(openedAt), rows_(rows), waits_(waits) {
        viewport->installEventFilter(this);
    }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && !done_) {
            done_ = true;
            QTimer::singleShot(0, [this] {
                const qint64 now = clock_.elapsed();
                std::printf("first paint after %.3f s, %.3f s from the open, the window waited at most %.0f ms, %d rows\n",
                            now / 1000.0, (now - openedAt_) / 1000.0, waits_.longestMs(), rows_);
                std::fflush(stdout);
                QApplication::quit();
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    const QElapsedTimer& clock_;
    qint64 openedAt_;
    int rows_;
    const LoopWaits& waits_;
    bool done_ = false;
};

}  // namespace

std::optional<AppOptions> parseArguments(const QStringList& arguments, QString& error) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Get files back from damaged or emptied FAT, exFAT and NTFS volumes."));
    parser.addHelpOption();
    const QCommandLineOption drive(QStringLiteral("drive"), QStringLiteral("Add drive letter X for PATH."), QStringLiteral("X=PATH"));
    const QCommandLineOption lang(QStringLiteral("lang"), QStringLiteral("Language of the texts: zh or en."), QStringLiteral("zh|en"));
    const QCommandLineOption noSplash(QStringLiteral("no-splash"), QStringLiteral("Start without the splash."));
    const QCommandLineOption noScan(QStringLiteral("no-scan"), QStringLiteral("Open SOURCE without searching the disk."));
    const QCommandLineOption list(QStringLiteral("list"), QStringLiteral("List shown: basic-root, search-root, lost, all-dirs, all-files."), QStringLiteral("MODE"));
    const QCommandLineOption view(QStringLiteral("view"), QStringLiteral("View style: large, small, list, details."), QStringLiteral("STYLE"));
    const QCommandLineOption firstPaint(QStringLiteral("first-paint"),
                                        QStringLiteral("Print the time until the list is first shown, and the longest the window did not answer, then quit."));
    parser.addOptions({drive, lang, noSplash, noScan, list, view, firstPaint});
    parser.addPositionalArgument(QStringLiteral("SOURCE"), QStringLiteral("Device, raw image file, drive letter or harrowd://HOST[:PORT]/X to open."));
    if (!parser.parse(QStringList{QStringLiteral("harrow")} + arguments)) {
        error = parser.errorText();
        return std::nullopt;
    }
    AppOptions o;
    o.drives = parser.values(drive);
    o.lang = parser.value(lang);
    if (!o.lang.isEmpty() && o.lang != QLatin1String("zh") && o.lang != QLatin1String("en")) {
        error = QStringLiteral("--lang takes zh or en");
        return std::nullopt;
    }
    o.splash = !parser.isSet(noSplash);
    o.scan = !parser.isSet(noScan);
    o.listMode = parser.value(list);
    o.viewStyle = parser.value(view);
    o.firstPaint = parser.isSet(firstPaint);
    auto known = [](const QString& v, const auto& table) {
        if (v.isEmpty()) return true;
        for (const auto& [name, id] : table)
            if (v == QLatin1String(name)) return true;
        return false;
    };
    if (!known(o.listMode, kModes) || !known(o.viewStyle, kStyles)) {
        error = QStringLiteral("unknown --list or --view value");
        return std::nullopt;
    }
    const QStringList rest = parser.positionalArguments();
    if (rest.size() > 1) {
        error = QStringLiteral("one SOURCE at most");
        return std::nullopt;
    }
    if (!rest.isEmpty()) o.source = rest.front();
    if (parser.isSet(QStringLiteral("help"))) o.helpText = parser.helpText();
    return o;
}

int runHarrow(int argc, char** argv) {
    // A saved file over the file-size limit fails its write (said as a full target) instead of
    // killing the program.
    std::signal(SIGXFSZ, SIG_IGN);
    QElapsedTimer clock;
    clock.start();
    // Help needs no window system: it is printed before one is reached, so that it works in a
    // terminal without a display too.
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "-h") != 0 && qstrcmp(argv[i], "--help") != 0) continue;
        QCoreApplication core(argc, argv);
        QString error;
        const std::optional<AppOptions> options = parseArguments(QCoreApplication::arguments().mid(1), error);
        if (!options || options->helpText.isEmpty()) break;
        std::printf("%s", options->helpText.toLocal8Bit().constData());
        return 0;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Harrow"));
    QApplication::setApplicationVersion(QStringLiteral(HARROW_VERSION));
    QApplication::setWindowIcon(appIcon());
    QApplication::setDesktopFileName(QStringLiteral("harrow"));

    QString error;
    const std::optional<AppOptions> options = parseArguments(QApplication::arguments().mid(1), error);
    if (!options) {
        std::fprintf(stderr, "harrow: %s\n", error.toLocal8Bit().constData());
        return 2;
    }
    if (!options->helpText.isEmpty()) {
        std::printf("%s", options->helpText.toLocal8Bit().constData());
        return 0;
    }
    if (options->lang == QLatin1String("en")) setLanguage(Lang::En);
    if (options->lang == QLatin1String("zh")) setLanguage(Lang::Zh);
    // Qt's own dialogs and buttons (file dialogs, Yes/No) in the program's language. Without the
    // translations installed they stay English, as before.
    QTranslator qtTexts;
    if (language() == Lang::Zh &&
        qtTexts.load(QStringLiteral("qtbase_zh_CN"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&qtTexts);
    for (const QString& d : options->drives)
        if (!DriveTable::global().addAssignments(ss(d))) {
            std::fprintf(stderr, "harrow: --drive takes X=PATH, not %s\n", d.toLocal8Bit().constData());
            return 2;
        }

    if (options->splash && QApplication::platformName() != QLatin1String("offscreen")) {
        runSplash();
    }

    QtPrompts prompts;
    // The document reaches this machine's volumes and, once a server is logged in to, its drives.
    remote::RemoteSources sources(prompts);
    CQUIDNEYDoc doc(prompts, sources);
    CMainFrame frame(doc, prompts, &sources);
    UDisks2Authorisation authorisation;
    frame.setDeviceAuthorisation(&authorisation);
    prompts.setWindow(&frame);
    for (const auto& [name, id] : kStyles)
        if (options->viewStyle == QLatin1String(name)) frame.view().setViewStyle(id);
    frame.show();
    std::unique_ptr<FirstPaint> watch;
    std::unique_ptr<LoopWaits> waits;
    if (options->firstPaint) waits = std::make_unique<LoopWaits>();
    const qint64 openedAt = clock.elapsed();
    if (!options->source.isEmpty()) {
        for (const auto& [name, mode] : kModes)
            if (options->listMode == QLatin1String(name)) doc.options.listMode = mode;
        doc.options.searchDisk = options->scan;
        frame.openSource(options->source);
    }
    if (options->firstPaint) {
        watch = std::make_unique<FirstPaint>(frame.view().currentView()->viewport(), clock, openedAt,
                                             frame.view().model().itemCount(), *waits);
        frame.view().currentView()->viewport()->update();
    }
    return QApplication::exec();
}

}  // namespace harrow::gui
