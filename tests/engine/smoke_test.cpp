#include <gtest/gtest.h>
#include <thread>

TEST(smoke, threads_work)
{
    int value = 0;
    std::thread worker([&] { value = 42; });
    worker.join();
    EXPECT_EQ(value, 42);
}
