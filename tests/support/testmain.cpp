#include "testbus.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

// Every test process gets its own virtual USB bus and a Qt application object.
int main(int argc, char** argv)
{
    TestBus::install();
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
