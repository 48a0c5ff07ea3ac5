#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>

int wmain(int argc, wchar_t **argv)
{
    int exitCode = 0;
    if (TestSupport::RunChildIfRequested(argc, argv, exitCode))
    {
        return exitCode;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
