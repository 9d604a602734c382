// What the runtime tells of classes, declared or not.
#include <doctest/doctest.h>

#include "platform/ui/navigation_controller.h"
#include "platform/ui/runtime_class.h"

using namespace platform::ui;

namespace {
struct OwnPage : ViewController {};
struct DeclaredPage : ViewController {};
}  // namespace

TEST_CASE("runtime classes: described from their type unless declared") {
    OwnPage own;
    const auto ownClass = runtimeClassOf(own);
    CHECK(ownClass.name == "OwnPage");
    CHECK(ownClass.superclassName.empty());
    CHECK(ownClass.inMainBundle);
    const auto platformClass = runtimeClassOf(typeid(NavigationController));
    CHECK(platformClass.name == "NavigationController");
    CHECK_FALSE(platformClass.inMainBundle);

    CHECK_FALSE(runtimeClassExists("Velmora.DeclaredPage"));
    declareRuntimeClass(typeid(DeclaredPage), {"Velmora.DeclaredPage", "UIKit._Base", false});
    const auto declared = runtimeClassOf(DeclaredPage());
    CHECK(declared.name == "Velmora.DeclaredPage");
    CHECK(declared.superclassName == "UIKit._Base");
    CHECK_FALSE(declared.inMainBundle);
    CHECK(runtimeClassExists("Velmora.DeclaredPage"));
    CHECK_FALSE(runtimeClassExists("DeclaredPage"));
    forgetDeclaredRuntimeClass(typeid(DeclaredPage));
    CHECK_FALSE(runtimeClassExists("Velmora.DeclaredPage"));
    CHECK(runtimeClassOf(typeid(DeclaredPage)).name == "DeclaredPage");
}
