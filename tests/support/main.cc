// Test main: isolates the process before any test runs.
#include "zt_test.h"

namespace zt_test {
void set_up_process();
}

int main(int argc, char **argv)
{
    zt_test::set_up_process();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
