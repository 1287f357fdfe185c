// The text cursor blinks while the user works with the program and stands still once nothing
// has been typed or clicked for a while, as the text fields of the desktop's own programs do:
// a cursor that blinks for ever wakes the program twice a second while nobody uses it.
#pragma once

#include <QObject>
#include <QTimer>

namespace vox {

// Time without a key or mouse event after which the text cursor stops blinking.
inline constexpr int kCursorBlinkTimeoutMs = 10000;

class TCursorBlinkLimit : public QObject {
  public:
    // Watches every event of the application from now on; the blinking comes back with the
    // next key press or mouse click.
    explicit TCursorBlinkLimit(QObject* parent, int timeoutMs = kCursorBlinkTimeoutMs);
    ~TCursorBlinkLimit() override;

    TCursorBlinkLimit(const TCursorBlinkLimit&) = delete;
    TCursorBlinkLimit& operator=(const TCursorBlinkLimit&) = delete;

    bool Blinking() const;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void Resume();
    void Rest();

    QTimer FRest;
    int FFlashTime;  // the desktop's own flash time, put back when the user comes back
};

}  // namespace vox
