// The loaded objects as a copy of the SDK lists them, in a child made by fork() while a thread of
// the parent's was inside dl_iterate_phdr: the child finds the loader's lock held for good, and a
// list made under it would wait for ever, one read without it may be half changed. It lists none.
#include <unistd.h>

#include <gtest/gtest.h>

#include "Bounds.h"
#include "Core/Private/CDVCopies.h"
#include "ForkedChild.h"
#include "HeldLoader.h"

namespace {

int countObjects() {
  int count = 0;
  cdv_copies::forEachLoadedObject([&count](const char*) { ++count; });
  return count;
}

TEST(CDVCopiesTest, AChildForkedWhileAThreadWalksTheObjectsListsNone) {
  const int inParent = countObjects();
  ASSERT_GT(inParent, 1);
  testsupport::HeldLoader loader;
  ASSERT_TRUE(loader.held());
  const testsupport::ChildEnd end = testsupport::runInChild(
      [] { ::_exit(countObjects() == 0 ? 0 : 1); },
      std::chrono::duration_cast<std::chrono::milliseconds>(testsupport::kChildLife));
  EXPECT_TRUE(end.inTime) << "the child waits for ever";
  EXPECT_TRUE(end.exitedWith(0)) << "the child read the loader's list";
}

}  // namespace
