// A stand-in main window holding every control the decks bind to, and a fixture that runs both
// sound engines on the manual clock, so a test plays minutes of music in milliseconds.
#pragma once

#include "core/soundbindings.h"
#include "decks/decks.h"
#include "platform/ui/dialogs.h"

#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTreeView>
#include <QWidget>
#include <gtest/gtest.h>
#include <memory>

// The main window's deck controls, named as the decks find them.
class DeckForm : public QWidget {
public:
    DeckForm();
    QTreeView* list(const char* name) const;
    QStandardItemModel* model(const char* name) const;
    // Appends a song row: Num, Title, Artist, Time, Genre, Filename.
    void addRow(const char* listName, const QString& title, const QString& artist, const QString& time,
                const QString& path);
    template <class T>
    T* get(const char* name) const { return findChild<T*>(QLatin1String(name)); }
};

class DecksTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Loads a medium into a deck from the DJ Playlist (row appended, then loaded by number).
    void cue(char deck, const QString& mediaName, const QString& title = QStringLiteral("Song"),
             const QString& artist = QStringLiteral("Artist"));
    // Plays the engines on for a number of milliseconds.
    void advanceMs(int ms);
    // Puts a deck's stream at a position (the engines' own seek).
    void setTime(char deck, int ms);
    int time(char deck);
    int length(char deck);

    std::unique_ptr<QTemporaryDir> tmp;
    ui::ScriptedDialogs dialogs;
    std::unique_ptr<DeckForm> form;
    std::unique_ptr<Decks> decks;
    DeckState& ds = deckState();
    int countedA = 0;
    int countedB = 0;
};
