#include <gtest/gtest.h>
#include <unistd.h>

#include "orvix_process.h"

TEST(ProcessPrimitives, ListsOwnProcess) {
    std::vector<int32_t> pids(65536);
    int32_t count = orvix_list_pids(pids.data(), static_cast<int32_t>(pids.size()));
    ASSERT_GT(count, 0);
    EXPECT_NE(std::find(pids.begin(), pids.begin() + count, getpid()), pids.begin() + count);
}
