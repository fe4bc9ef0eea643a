// The loaded objects as a copy of the SDK lists them, in a child made by fork() while a thread of
// the parent's was inside dl_iterate_phdr: the child finds the loader's lock held for good, and a
// list made under it would wait for ever.
#include <link.h>
#include <unistd.h>

#include <cstddef>
#include <thread>

#include <gtest/gtest.h>

#include "Bounds.h"
#include "Core/Private/CDVCopies.h"
#include "ForkedChild.h"

namespace {

int countObjects() {
  int count = 0;
  cdv_copies::forEachLoadedObject([&count](const char*) { ++count; });
  return count;
}

TEST(CDVCopiesTest, AChildForkedWhileAThreadWalksTheObjectsListsThemAll) {
  const int inParent = countObjects();
  ASSERT_GT(inParent, 1);
  int held[2];
  int release[2];
  ASSERT_EQ(::pipe(held), 0);
  ASSERT_EQ(::pipe(release), 0);
  int fds[2] = {held[1], release[0]};
  std::thread walker([&fds] {
    ::dl_iterate_phdr(
        [](dl_phdr_info*, std::size_t, void* data) {
          const int* fds = static_cast<const int*>(data);
          char byte = 1;
          if (::write(fds[0], &byte, 1) == 1) {
            while (::read(fds[1], &byte, 1) < 0) {
            }
          }
          return 1;
        },
        fds);
  });
  char byte = 0;
  ASSERT_EQ(::read(held[0], &byte, 1), 1);
  const testsupport::ChildEnd end = testsupport::runInChild(
      [inParent] { ::_exit(countObjects() == inParent ? 0 : 1); },
      std::chrono::duration_cast<std::chrono::milliseconds>(testsupport::kChildLife));
  ASSERT_EQ(::write(release[1], &byte, 1), 1);
  walker.join();
  for (int fd : {held[0], held[1], release[0], release[1]}) ::close(fd);
  EXPECT_TRUE(end.inTime) << "the child waits for ever";
  EXPECT_TRUE(end.exitedWith(0)) << "the child listed other objects than its parent";
}

}  // namespace
