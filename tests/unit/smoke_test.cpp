#include <gtest/gtest.h>
#include "src/bfs/bfs.h"
TEST(Smoke, Hash) { EXPECT_EQ(bfs_bucket(bfs_hash((const unsigned char*)"abc", 3), 31), 19u); }
