#include <gtest/gtest.h>
#include "quarn.h"
TEST(Smoke, OpenMissing) {
  quarn_error_t e = QUARN_OK;
  EXPECT_EQ(quarn_open_file("/nonexistent/x", &e), nullptr);
  EXPECT_EQ(e, QUARN_ERROR_OPEN);
}
