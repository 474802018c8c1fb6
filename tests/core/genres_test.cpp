#include "core/genres.h"

#include <QComboBox>
#include <QListWidget>
#include <QPushButton>
#include <gtest/gtest.h>

TEST(Genres, NamesAndBytesBothWays)
{
    EXPECT_EQ(GenreName(0), "Blues");
    EXPECT_EQ(GenreName(12), "Other");
    EXPECT_EQ(GenreName(117), "power Ballad");
    EXPECT_EQ(GenreName(131), "indie");
    EXPECT_EQ(GenreName(136), "Christian Gangsta Rap");
    EXPECT_EQ(GenreName(140), "Comteporary Christian");
    EXPECT_EQ(GenreName(152), "90s Dance");
    for (int b = 153; b <= 255; ++b)
        EXPECT_EQ(GenreName(b), "Unknown") << b;

    EXPECT_EQ(GenreIndex("Blues"), 0);
    EXPECT_EQ(GenreIndex("90s Dance"), 152);
    EXPECT_EQ(GenreIndex("power Ballad"), 117);
    EXPECT_EQ(GenreIndex("Power Ballad"), 255);
    EXPECT_EQ(GenreIndex("rock"), 255);
    EXPECT_EQ(GenreIndex("Unknown"), 255);
    EXPECT_EQ(GenreIndex(""), 255);
    // Every name is unique, so each maps back to its own byte.
    for (int b = 0; b < GenreCount; ++b)
        EXPECT_EQ(GenreIndex(GenreName(b)), b) << b;
}

TEST(Genres, ListAndComboHoldTheTableInOrder)
{
    BuildGenreList();
    EXPECT_EQ(GenreList.count(QLatin1Char('|')), 152);
    EXPECT_TRUE(GenreList.startsWith("Blues|Classic Rock|"));
    EXPECT_TRUE(GenreList.endsWith("|80s Dance|90s Dance"));

    QComboBox box;
    FillGenreCombo(&box);
    ASSERT_EQ(box.count(), 153);
    EXPECT_EQ(box.itemText(17), "Rock");
    FillGenreCombo(&box); // adds to what the box holds
    EXPECT_EQ(box.count(), 306);
}

TEST(Genres, FindListStringFollowsTheWindowsFindRules)
{
    BuildGenreList();
    QComboBox box;
    FillGenreCombo(&box);
    EXPECT_EQ(FindListString(&box, "rock", -1, true), 17);
    EXPECT_EQ(FindListString(&box, "Roc", -1, true), -1);
    EXPECT_EQ(FindListString(&box, "Roc", -1, false), 17);
    EXPECT_EQ(FindListString(&box, "POWER ballad", -1, true), 117);
    // The search starts after the start item and wraps round to it.
    EXPECT_EQ(FindListString(&box, "Rock", 17, true), 17);
    EXPECT_EQ(FindListString(&box, "Ro", 17, false), 78); // "Rock & Roll"
    EXPECT_EQ(FindListString(&box, "Blues", 0, true), 0);
    EXPECT_EQ(FindListString(&box, "Blues", 500, true), 0);

    QListWidget list;
    list.addItems({"alpha", "Beta", "alphabet", "gamma"});
    EXPECT_EQ(FindListString(&list, "ALPHA", 0, false), 2);
    EXPECT_EQ(FindListString(&list, "alpha", 0, true), 0);
    EXPECT_EQ(FindListString(&list, "delta", -1, false), -1);
    QListWidget empty;
    EXPECT_EQ(FindListString(&empty, "x", -1, true), -1);

    QPushButton other;
    EXPECT_EQ(FindListString(&other, "Rock", -1, true), 0);
    EXPECT_EQ(FindListString(nullptr, "Rock", -1, true), 0);
}
