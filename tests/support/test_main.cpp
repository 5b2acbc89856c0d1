// GoogleTest's own main exits 0 when a test skipped itself, and CTest would
// call that test passed. This one exits LOCLISTFIX_SKIPPED_EXIT_CODE instead,
// which CTest is told means skipped; a failure still wins over a skip.
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    if (status != 0) {
        return status;
    }
    return testing::UnitTest::GetInstance()->skipped_test_count() > 0 ? LOCLISTFIX_SKIPPED_EXIT_CODE : 0;
}
