#include "url_components.h"
#include <gtest/gtest.h>
TEST(Url, Placeholder) { CUrlComponents u; EXPECT_EQ(u.Port(), 80); }
