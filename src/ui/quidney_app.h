// Start-up of the desktop application: the command line, the language, the drive table, the
// splash, the one document and its main window.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace harrow::gui {

struct AppOptions {
    QStringList drives;        // "X=PATH"
    QString lang;              // "zh", "en" or empty (from the environment)
    QString source;            // opened at start when not empty
    bool splash = true;
    bool scan = true;          // scan the source opened at start
    QString listMode;          // basic-root, search-root, lost, all-dirs, all-files
    QString viewStyle;         // large, small, list, details
    // Prints how long it took until the list was first painted, and quits (benchmarks).
    bool firstPaint = false;
    QString helpText;          // set for --help: print it and stop
};

// Parses the arguments (without the program name); nothing and `error` set on a bad one.
std::optional<AppOptions> parseArguments(const QStringList& arguments, QString& error);

int runHarrow(int argc, char** argv);

}  // namespace harrow::gui
