// The status value: creation, copies sharing the description, _assign,
// and raising with an origin.
#include <gtest/gtest.h>

#include <memory>

#include "status/tStatus2.h"

namespace {

TEST(StatusValue, StartsAsSuccessWithoutDescription) {
  const tStatus2 status;
  EXPECT_EQ(status.code, 0);
  EXPECT_FALSE(status.hasDescription());
  EXPECT_EQ(status.getComponent(), nullptr);
  EXPECT_EQ(status.getLine(), 0U);
}

TEST(StatusValue, RaisingRecordsCodeAndOrigin) {
  tStatus2 status;
  status._allocateImplementationObject(-50352, "Pellorin", "tUpgradeDowngradeMgr", 631, nullptr);
  EXPECT_EQ(status.code, -50352);
  EXPECT_STREQ(status.getComponent(), "Pellorin");
  EXPECT_STREQ(status.getSourceFile(), "tUpgradeDowngradeMgr");
  EXPECT_EQ(status.getLine(), 631U);
}

TEST(StatusValue, CopySharesTheDescriptionAndOutlivesTheOriginal) {
  auto original = std::make_unique<tStatus2>();
  original->_allocateImplementationObject(-50352, "Pellorin", "tUpgradeDowngradeMgr", 57, nullptr);
  const tStatus2 copy(*original);
  EXPECT_EQ(copy.code, -50352);
  EXPECT_EQ(copy.getComponent(), original->getComponent());  // the same object, not a new one
  original.reset();  // the copy's reference keeps the description alive
  EXPECT_STREQ(copy.getSourceFile(), "tUpgradeDowngradeMgr");
  EXPECT_EQ(copy.getLine(), 57U);
}

TEST(StatusValue, ChangingACopysCodeLeavesTheOriginal) {
  tStatus2 original;
  original.code = 4;
  tStatus2 copy(original);
  copy.code = -1;
  EXPECT_EQ(original.code, 4);
}

TEST(StatusValue, AssignTakesCodeAndDescriptionAndDropsTheOld) {
  tStatus2 target;
  target._allocateImplementationObject(-1, "old", "old", 1, nullptr);
  {
    tStatus2 incoming;
    incoming._allocateImplementationObject(-50352, "Pellorin", "tUpgradeDowngradeMgr", 642,
                                           nullptr);
    target._assign(incoming);
    EXPECT_EQ(target.getComponent(), incoming.getComponent());
  }
  EXPECT_EQ(target.code, -50352);
  EXPECT_EQ(target.getLine(), 642U);

  target._assign(target);  // assigning itself keeps everything
  EXPECT_EQ(target.getLine(), 642U);

  const tStatus2 plain;
  target._assign(plain);
  EXPECT_EQ(target.code, 0);
  EXPECT_FALSE(target.hasDescription());
}

}  // namespace
