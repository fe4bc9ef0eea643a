#include <gtest/gtest.h>

#include "foundation/ClassRegistry.h"

namespace {

class Greeting : public platform::ClassObject {
 public:
  Greeting() : platform::ClassObject("Greeting") {}
  std::string greet() const { return "hello"; }
};

TEST(ClassRegistryTest, ClassesAreFoundByNameUntilRemoved) {
  platform::ClassRegistry::resetForTesting();
  EXPECT_FALSE(platform::ClassRegistry::classNamed("Greeting"));
  auto cls = std::make_shared<Greeting>();
  platform::ClassRegistry::registerClass(cls);
  EXPECT_TRUE(platform::ClassRegistry::hasClassNamed("Greeting"));
  auto found = std::dynamic_pointer_cast<Greeting>(platform::ClassRegistry::classNamed("Greeting"));
  ASSERT_TRUE(found);
  EXPECT_EQ(found->greet(), "hello");

  // A later registration under the same name replaces the class.
  auto replacement = std::make_shared<platform::ClassObject>("Greeting");
  platform::ClassRegistry::registerClass(replacement);
  EXPECT_EQ(platform::ClassRegistry::classNamed("Greeting"), replacement);
  EXPECT_EQ(platform::ClassRegistry::registeredClassNames(), std::vector<std::string>{"Greeting"});

  EXPECT_TRUE(platform::ClassRegistry::unregisterClass("Greeting"));
  EXPECT_FALSE(platform::ClassRegistry::unregisterClass("Greeting"));
  EXPECT_FALSE(platform::ClassRegistry::hasClassNamed("Greeting"));
  platform::ClassRegistry::registerClass(nullptr);
  EXPECT_TRUE(platform::ClassRegistry::registeredClassNames().empty());
}

}  // namespace
