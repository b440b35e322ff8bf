#pragma once

#include "windows/appearance.h"

#include <QApplication>
#include <QTest>

// Every test runs with the application font and style Quillon itself uses, so that layout and
// caption checks measure what the operator sees.
#define QUILLON_TEST_MAIN(TestClass)                                                               \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))                                        \
            qputenv("QT_QPA_PLATFORM", "offscreen");                                               \
        StartReadingFontConfiguration();                                                           \
        QApplication app(argc, argv);                                                              \
        ApplyQuillonAppearance();                                                                  \
        TestClass test;                                                                            \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
