#pragma once
#include <QWidget>
#include <cstdint>
#include <string>

class QProgressBar;

// What GetProgress and SetProgress read or change.
constexpr int32_t pvPosition = 0;  // the bar position, 0..100
constexpr int32_t pvStepCount = 1; // the number of steps of the step counter
constexpr int32_t pvStep = 2;      // the current step, 0..step count

// What SetProgressText sets. Any kind outside 0..3 only composes the caption again.
constexpr int32_t ptCaption = 0; // the caption as given, nothing composed
constexpr int32_t ptTitle = 1;
constexpr int32_t ptStage = 2;
constexpr int32_t ptDetail = 3;
constexpr int32_t ptRefresh = -1;

// The small window shown above the main window while an update runs: a thin title bar that
// names the current stage and a bar from 0 to 100 under it. It has no buttons; it goes away
// through CloseProgressWindow or together with its owner.
class TProgressBarWindow : public QWidget {
    Q_OBJECT
public:
    explicit TProgressBarWindow(QWidget *owner);
    ~TProgressBarWindow() override;

    int32_t GetProgress(int32_t kind) const;
    void SetProgress(int32_t kind, int32_t value);
    void SetProgressText(int32_t kind, const std::string &text);

    QProgressBar *ProgressBar1 = nullptr;

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void FormShow();
    void FormHide();
    // "Title:" + " Stage" + " - Detail" + " (step/count)", each text part left out when
    // empty; widens the bar when the text needs more room.
    void composeCaption();
    void setBarWidth(int width);

    int32_t stepCount_ = 0;
    int32_t currentStep_ = 0;
    std::string titleText_;
    std::string stageText_;
    std::string detailText_;
    // Whether this window has put the busy cursor on the application's override stack and
    // still owes taking it off again.
    bool busyCursorPushed_ = false;
};

// The window a null owner stands for. The application registers its main window here;
// while none is registered (or the registered one is gone) the application's active
// window is taken, and without that the progress window has no owner and is centred on the
// primary screen.
void SetProgressMainWindow(QWidget *mainWindow);

// Creates and shows the single progress window, owned by owner (null: see
// SetProgressMainWindow) and centred over it. Does nothing while a window exists.
void ShowProgressWindow(QWidget *owner);
// Hides and destroys the window; does nothing when there is none.
void CloseProgressWindow();

// The three operations act on the single window. The update run calls them only while the
// window exists; without one GetProgress gives 0 and the setters do nothing.
int32_t GetProgress(int32_t kind);
void SetProgress(int32_t kind, int32_t value);
void SetProgressText(int32_t kind, const std::string &text);

// The window that exists now, or null.
TProgressBarWindow *CurrentProgressWindow();
