#include "update/start_watch_rules.h"

#include <gtest/gtest.h>

TEST(StartWatch, ProvenWhenRunningOrClosedCleanly) {
    struct Row {
        StartObservation seen;
        bool proven;
        unsigned long code;
        bool interrupted = false;
    };
    const Row rows[] = {
        {{true, 33, false, 0}, true, 0},                  // still running at the end of the watch
        {{true, 33, true, 0}, true, 0},                   // closed at once by its user
        {{true, 33, true, 0xC0000005ul}, false, 0xC0000005ul},
        {{true, 33, true, 0xC0000135ul}, false, 0xC0000135ul},  // a DLL missing
        {{true, 33, true, 1}, false, 1},
        {{false, 2, false, 0}, false, 2},                 // the shell found no file
        {{false, 0, false, 0}, false, 0},
        {{true, 33, true, 1, true}, false, 1, true},      // ended by another update's taskkill
        {{true, 33, false, 0, true}, true, 0},            // stopped after the watch: proven all the same
        {{true, 33, true, 0, true}, true, 0},
        {{false, 2, false, 0, true}, false, 2},           // nothing started: a failure whatever happened
    };
    for (const Row& row : rows) {
        EXPECT_EQ(StartProven(row.seen), row.proven) << row.seen.exitCode << " " << row.seen.launchCode;
        if (!row.proven) EXPECT_EQ(StartFailureCode(row.seen), row.code);
        EXPECT_EQ(StartInterrupted(row.seen), row.interrupted) << row.seen.exitCode;
    }
    EXPECT_EQ(StartWatchMs, 30000u);
}

TEST(StartWatch, RecordKeepsEveryFieldAndRefusesAnyOtherText) {
    PendingStartWatch watch;
    watch.exeName = "mesalto.exe";
    watch.previousCopy = "C:\\Marvek\\Marvek Mesalto\\actualizaciones\\261209_101010\\mesalto.exe";
    watch.productKey = "MarvekMesalto";
    watch.settingsKey = "Marvek Mesalto";
    watch.previousVersion = "5.2.1.0";
    watch.newVersion = "6.0.3.17";
    watch.url = "https://descargas.marvek.example/paquetes/m.zip?o=a-1-b";
    watch.zipPackage = true;
    const std::string text = PendingStartWatchText(watch);
    EXPECT_EQ(text,
              "programa=mesalto.exe\ncopia_anterior=C:\\Marvek\\Marvek Mesalto\\actualizaciones\\261209_101010\\"
              "mesalto.exe\nproducto=MarvekMesalto\nclave=Marvek Mesalto\nversion_anterior=5.2.1.0\n"
              "version_nueva=6.0.3.17\nurl=https://descargas.marvek.example/paquetes/m.zip?o=a-1-b\nzip=1\n"
              "restaurado=0\n");
    PendingStartWatch read;
    ASSERT_TRUE(ParsePendingStartWatch(text, read));
    EXPECT_EQ(PendingStartWatchText(read), text);
    EXPECT_TRUE(read.zipPackage);
    EXPECT_FALSE(read.restored);

    watch.url = "https://x/a\nrestaurado=1";  // a line break never makes a field of its own
    EXPECT_EQ(PendingStartWatchText(watch).find("url=\n"), text.find("url="));
    for (const std::string& bad : {std::string(), text.substr(0, text.size() - 1), text + "x=1\n",
                                   text.substr(text.find('\n') + 1), std::string("programa=\n") +
                                   text.substr(text.find('\n') + 1)}) {
        EXPECT_FALSE(ParsePendingStartWatch(bad, read)) << bad;
    }
    std::string zipTwo = text;
    zipTwo.replace(zipTwo.find("zip=1"), 5, "zip=2");
    EXPECT_FALSE(ParsePendingStartWatch(zipTwo, read));
}
