#include "shell/messagepanel.h"

#include "platform/ui/skin.h"
#include "platform/ui/vb.h"

void MessagePanel::post(const QString& text, bool keep)
{
    setCaption(text);
    if (keep)
        bKeepMessageDisplayed = true;
    bNewMessages = true;
}

void MessagePanel::reset()
{
    setCaption(idleText());
    setForeColor(vb::Black);
    bNewMessages = false;
    bKeepMessageDisplayed = false;
    iMessagesCounter = 0;
    iMessageLoops = 0;
}

QString MessagePanel::caption() const { return label_ ? label_->text() : QString(); }

void MessagePanel::setCaption(const QString& text)
{
    if (label_)
        label_->setText(text);
}

std::uint32_t MessagePanel::foreColor() const { return label_ ? label_->foreColor() : vb::Black; }

void MessagePanel::setForeColor(std::uint32_t bgr)
{
    if (label_)
        label_->setForeColor(bgr);
}
