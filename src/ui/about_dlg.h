// The about box, the splash shown at start-up, and the help window.
#pragma once

#include <QDialog>
#include <QTimer>

class QLabel;

namespace harrow::gui {

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);

    // The two links: the licence (opened by the desktop) and the help (opened here).
    QLabel* licenceLink() const { return licenceLink_; }
    QLabel* helpLink() const { return helpLink_; }

private:
    QLabel* licenceLink_;
    QLabel* helpLink_;
};

// A borderless pop-up in the middle of the screen that closes itself after 17 ticks of 100 ms.
class CSplashDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int kTickMs = 100;
    static constexpr int kTicks = 17;

    explicit CSplashDlg(QWidget* parent = nullptr);
    int ticks() const { return ticks_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void onTick();

    QTimer timer_;
    int ticks_ = 0;
};

// Runs the about box modally.
void runAbout(QWidget* parent);
// Shows the splash modally; returns when it has closed itself.
void runSplash();
// Opens the help window, or raises it when it is open already. It does not block.
void showHelp(QWidget* parent);

}  // namespace harrow::gui
