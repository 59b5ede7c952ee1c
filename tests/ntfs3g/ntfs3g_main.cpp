// The ntfs-3g suite's main: the process enters a mount namespace of its own
// before the first test, so that what the tests mount, and the plugin
// folder they put in ntfs-3g's place, vanish with it. (Each test says why,
// when it is skipped.)
#include <gtest/gtest.h>

#include "tests/ntfs3g/ntfs3g_volume.h"

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (!GTEST_FLAG_GET(list_tests)) {
        ntfs3gtest::enterOwnMountNamespace();
    }
    return RUN_ALL_TESTS();
}
