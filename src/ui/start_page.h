// What the window shows while no drive is open: what the program does, the three ways to open a
// source, and the sources opened last.
#pragma once

#include <QListWidget>
#include <QStringList>
#include <QWidget>

class QAction;

namespace harrow::gui {

// The sources opened last, newest first, kept between runs: the four the File menu of a
// document program keeps.
inline constexpr int kRecentSources = 4;
QStringList recentSources();
void rememberSource(const QString& source);

class StartPage : public QWidget {
    Q_OBJECT
public:
    // Each button runs its action, and is enabled while it is.
    StartPage(QAction* openDrive, QAction* openImage, QAction* connect, QWidget* parent = nullptr);

    void setRecent(const QStringList& sources);
    QListWidget* recentList() const { return recent_; }

signals:
    void openRecent(const QString& source);

private:
    QWidget* recentBox_ = nullptr;
    QListWidget* recent_ = nullptr;
};

}  // namespace harrow::gui
