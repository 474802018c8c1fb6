#include "shell/frmShowUpdates.h"

#include "platform/ui/skin.h"
#include "platform/ui/vb.h"

#include <QCloseEvent>
#include <QPlainTextEdit>
#include <QVBoxLayout>

namespace {

struct Release {
    const char* version;
    std::initializer_list<const char*> items; // "n. change"
};

const QString kRule = QString(33, QLatin1Char('-'));
const QString kContact = QStringLiteral("If you have ideas or problems with this update please email: ")
                         + QStringLiteral("support@quenlow.example");

} // namespace

QString frmShowUpdates::historyText()
{
    const Release releases[] = {
        {"1.4",
         {"1. Added Auto-DJ Crossfade Time Choices (10, 15, 20 or 25 Seconds).",
          "2. Added Pitch Control.",
          "3. Added F9 - F12 Keys For Pitch.",
          "3. Added The Song Bin Beside The DJ Playlist.",
          "4. Added Song Requests From The Request Database.",
          "5. Added Most Played List With Play Counts.",
          "6. Added Search By Title, Artist Or Genre.",
          "7. Added Stand-By Mode.",
          "8. Added The Tag Editor (Ctrl+E).",
          "9. Faster Loading Of Large Playlists.",
          "10. Fixed The Clock Display."}},
        {"1.3.3", {"1. Fixed Crossfader Volume Jumps.", "2. Fixed Saving Of The DJ Playlist."}},
    };
    const QString crlf = QStringLiteral("\r\n");
    QString text;
    for (const Release& r : releases) {
        text += kRule + crlf;
        text += QStringLiteral("UPDATE VERSION: ") + QLatin1String(r.version) + crlf;
        for (const char* item : r.items)
            text += QLatin1String(item) + crlf;
        text += crlf;
        text += kContact + crlf;
        text += kRule + crlf;
    }
    return text;
}

frmShowUpdates::frmShowUpdates(QWidget* parent) : QWidget(parent, Qt::Dialog)
{
    setObjectName(QStringLiteral("frmShowUpdates"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Updates"));
    resize(520, 420);
    auto* layout = new QVBoxLayout(this);
    txtUpdates = new QPlainTextEdit(this);
    txtUpdates->setObjectName(QStringLiteral("txtUpdates"));
    txtUpdates->setReadOnly(true);
    txtUpdates->setPlainText(QStringLiteral("Update Information"));
    layout->addWidget(txtUpdates);
    lblDoneClose = new SkinControl(this, SkinControl::Label);
    lblDoneClose->setObjectName(QStringLiteral("lblDoneClose"));
    lblDoneClose->setText(QStringLiteral("Ok I'm Done Looking"));
    lblDoneClose->setAlignment(Qt::AlignCenter);
    lblDoneClose->setMinimumHeight(28);
    lblDoneClose->setBackColor(vb::bgr(palette().color(QPalette::ToolTipBase)));
    layout->addWidget(lblDoneClose);
    connect(lblDoneClose, &SkinControl::MouseDown, this,
            [this](int, int, double, double) { lblDoneClose->setBackColor(vb::rgb(192, 192, 255)); });
    connect(lblDoneClose, &SkinControl::MouseUp, this, [this](int, int, double, double) {
        lblDoneClose->setBackColor(vb::bgr(palette().color(QPalette::ToolTipBase)));
    });
    connect(lblDoneClose, &SkinControl::Click, this, &QWidget::close);
    // Built afresh at every opening.
    txtUpdates->setPlainText(QString());
    txtUpdates->setPlainText(historyText());
}

frmShowUpdates* frmShowUpdates::open(QWidget* parent)
{
    auto* w = new frmShowUpdates(parent);
    w->setWindowModality(Qt::ApplicationModal);
    w->show();
    return w;
}

void frmShowUpdates::closeEvent(QCloseEvent* e)
{
    emit closed();
    QWidget::closeEvent(e);
}
