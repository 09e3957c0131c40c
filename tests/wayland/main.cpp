#include "platform/http_helper.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    // Web requests made apart run this binary again as their helper.
    if (const int helper = tarvo::platform::RunHttpHelperIfAsked(); helper >= 0) return helper;
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
