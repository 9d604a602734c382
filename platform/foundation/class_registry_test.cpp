#include <doctest/doctest.h>

#include <thread>

#include "platform/foundation/class_registry.h"

using platform::ClassRegistry;
using platform::RuntimeObject;
using platform::Value;

namespace {

// Answers "answer" with its number and nothing else.
struct Answering : RuntimeObject {
    explicit Answering(int number) : number(number) {}
    bool respondsToSelector(const std::string& selector) const override { return selector == "answer"; }
    Value performSelector(const std::string& selector) override {
        return selector == "answer" ? Value(number) : Value();
    }
    int number;
};

// Removes the test's classes when a test case ends.
struct RemoveTestClasses {
    ~RemoveTestClasses() {
        for (const char* name : {"TestClassA", "TestClassB"}) ClassRegistry::removeClass(name);
    }
};

}  // namespace

TEST_CASE("classes are found by the name they were linked under") {
    RemoveTestClasses cleanup;
    CHECK_FALSE(ClassRegistry::classNamed("TestClassA"));

    ClassRegistry::registerClass("TestClassA", std::make_shared<Answering>(1));
    auto found = ClassRegistry::classNamed("TestClassA");
    REQUIRE(found);
    CHECK(found->respondsToSelector("answer"));
    CHECK_FALSE(found->respondsToSelector("other"));
    CHECK(found->performSelector("answer") == Value(1));
    CHECK(found->performSelector("other").isNull());
    CHECK_FALSE(found->performObjectSelector("answer"));

    SUBCASE("a second registration replaces the first") {
        ClassRegistry::registerClass("TestClassA", std::make_shared<Answering>(2));
        CHECK(ClassRegistry::classNamed("TestClassA")->performSelector("answer") == Value(2));
    }
    SUBCASE("removing, or registering nothing, unlinks the class and only it") {
        ClassRegistry::registerClass("TestClassB", std::make_shared<Answering>(3));
        ClassRegistry::removeClass("TestClassA");
        CHECK_FALSE(ClassRegistry::classNamed("TestClassA"));
        CHECK(ClassRegistry::classNamed("TestClassB"));
        ClassRegistry::registerClass("TestClassB", nullptr);
        CHECK_FALSE(ClassRegistry::classNamed("TestClassB"));
    }
    SUBCASE("lookups on other threads see the linked class") {
        int answers = 0;
        std::thread reader([&] {
            for (int i = 0; i < 100; ++i) answers += ClassRegistry::classNamed("TestClassA") ? 1 : 0;
        });
        for (int i = 0; i < 100; ++i) ClassRegistry::registerClass("TestClassB", std::make_shared<Answering>(i));
        reader.join();
        CHECK(answers == 100);
    }
}
