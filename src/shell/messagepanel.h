// The message line of the main window (lblMessages) and its state.
//
// A writer posts a message with post(); the housekeeping timer blinks a new message for about
// ten seconds and puts the idle text back after about two minutes, unless the message is to
// be kept. reset() returns the line to its idle state at once.
#pragma once

#include <QString>
#include <cstdint>

class SkinControl;

class MessagePanel {
public:
    static QString idleText() { return QStringLiteral("Messages Will Appear Here"); }

    // The label that shows the messages; set by the main window when it builds its controls.
    void bind(SkinControl* label) { label_ = label; }
    SkinControl* label() const { return label_; }

    // Shows text as a new message (bNewMessages = True); keep holds it beyond two minutes.
    void post(const QString& text, bool keep = false);
    // Idle text in black, bNewMessages False, both counters 0, and nothing held: a hold belongs
    // to the message it was posted with, so the next message can expire again.
    void reset();

    QString caption() const;
    void setCaption(const QString& text);
    std::uint32_t foreColor() const;
    void setForeColor(std::uint32_t bgr);

    bool bNewMessages = false;          // a new message stands; the timer blinks it
    bool bKeepMessageDisplayed = false; // the message stays; the idle text is not put back
    std::int32_t iMessagesCounter = 0;  // ticks the message has blinked
    std::int32_t iMessageLoops = 0;     // ticks the message has stood

private:
    SkinControl* label_ = nullptr;
};
