#include "client/error.h"

#include <gtest/gtest.h>

using halvane::Error;

TEST(Error, MapsCoreCodes) {
  EXPECT_FALSE(Error::from_code(0).has_value());
  EXPECT_EQ(Error::from_code(1)->kind(), Error::Kind::InvalidArgument);
  EXPECT_EQ(Error::from_code(9)->kind(), Error::Kind::Tls);
  EXPECT_EQ(Error::from_code(15)->kind(), Error::Kind::ProfileUnsupported);
  EXPECT_EQ(*Error::from_code(16), Error::native(16));
  EXPECT_EQ(*Error::from_code(-3), Error::native(-3));
}

TEST(Error, DisplayAndDebugTexts) {
  EXPECT_EQ(Error(Error::Kind::Timeout).display(), "Timeout");
  EXPECT_EQ(Error::native(16).display(), "native error 16");
  EXPECT_EQ(Error::native(-3).display(), "native error -3");
  EXPECT_EQ(Error::native(-3).debug(), "Native(-3)");
  EXPECT_EQ(Error(Error::Kind::CallbackPanic).debug(), "CallbackPanic");
  EXPECT_EQ((halvane::RequestError{Error::Kind::Network, -105}).display(),
            "Network (Chromium net error -105)");
}
