// Tests of garbage collection: cycles, roots and marks.
#include <doctest/doctest.h>

#include <string>
#include <thread>

#include "measurement/script/entity_converter.h"
#include "measurement/script/evaluator.h"
#include "measurement/script/program_decoder.h"
#include "measurement/script/runtime.h"
#include "measurement/script/text/program_text.h"
#include "measurement/script/text/script_runner.h"

using namespace measurement;
using namespace measurement::script_text;

TEST_CASE("collection frees cycles that only a run scope reaches") {
    const auto baseline = APMPLiveObjectCount();
    {
        APMPRuntime runtime;
        ScriptError error;
        evaluateText(runtime.globalScope(), "(function \"keep\" (array) (return \"kept\"))", error);
        REQUIRE_FALSE(error);

        auto run = runtime.getRunScope();
        auto map = evaluateText(*run, "(var \"m\") (set \"m\" (object)) (setprop $m \"self\" $m) $m", error);
        REQUIRE_FALSE(error);
        REQUIRE(map->isMap());
        WeakRef<APMPRuntimeValue> weakMap(map.get());
        map.reset();
        run.reset();

        // Reference counting alone cannot free the cycle.
        CHECK_FALSE(weakMap.expired());
        runtime.collectGarbage();
        CHECK(weakMap.expired());

        // The global function survives any number of collections, with the
        // values its defining scope holds.
        for (int i = 0; i < 3; ++i) runtime.collectGarbage();
        auto again = runtime.getRunScope();
        CHECK(describeValue(evaluateText(*again, "(\"keep\")", error)) == "\"kept\"");
        CHECK_FALSE(error);
    }
    CHECK(APMPLiveObjectCount() == baseline);
}

TEST_CASE("closures keep their scopes across collections") {
    APMPRuntime runtime;
    ScriptError error;
    evaluateText(runtime.globalScope(),
               "(var \"next\") (block (var \"n\" \"store\") (set \"n\" 0) (set \"store\" (array)) "
               "(set \"next\" (lambda \"\" (array) (call $store \"push\" (array $n)) (set \"n\" (add $n 1)) "
               "(return $store))))",
               error);
    REQUIRE_FALSE(error);
    for (int i = 0; i < 3; ++i) {
        runtime.collectGarbage();
        auto run = runtime.getRunScope();
        evaluateText(*run, "(\"next\")", error);
    }
    auto run = runtime.getRunScope();
    CHECK(describeValue(evaluateText(*run, "(\"next\")", error)) == "[0,1,2,3]");
}

TEST_CASE("a swept value that is still reached behaves as empty") {
    APMPRuntime runtime;
    ScriptError error;
    auto run = runtime.getRunScope();
    auto array = evaluateText(*run, "(var \"a\") (set \"a\" (array 1 2)) (setprop $a \"x\" 1) $a", error);
    auto function = evaluateText(*run, "(lambda \"f\" (array) (return 1))", error);
    auto map = evaluateText(*run, "(object \"k\" 1)", error);
    run.reset();
    // Held from C++ only: no root reaches them, so the sweep empties them.
    runtime.collectGarbage();
    CHECK(describeValue(array) == "[]");
    CHECK(describeValue(map) == "{}");
    CHECK(valueAs<APMPFunctionValue>(function).statements().empty());
    CHECK(valueAs<APMPFunctionValue>(function).invokeWithEvaluatedArguments({}, error)->isUndefined());
    CHECK_FALSE(error);
}

TEST_CASE("the object manager tracks what factories make and nothing else") {
    APMPRuntime runtime;
    auto& manager = runtime.objectManager();
    const auto before = manager.trackedCount();
    {
        auto array = APMPObjectManager::arrayValueWithScope(runtime.globalScope());
        auto map = APMPObjectManager::mapValueWithScope(runtime.globalScope());
        auto plain = makeRef<APMPArrayValue>();
        CHECK(manager.trackedCount() == before + 2);
        CHECK(array->objectManager() == &manager);
        CHECK(plain->objectManager() == nullptr);
        manager.addObject(APMPNumber(1).get());
        manager.addObject(nullptr);
        CHECK(manager.trackedCount() == before + 2);
    }
    // Freed values leave the list; the manager kept nothing alive.
    CHECK(manager.trackedCount() == before);
    CHECK(manager.roots().size() == 2);
    {
        auto extra = makeRef<APMPScope>();
        runtime.addGarbageCollectionRoot(extra.get());
        CHECK(manager.roots().size() == 3);
    }
    runtime.collectGarbage();
    CHECK(manager.roots().size() == 2);
}

TEST_CASE("a runtime's end frees every cycle its programs made") {
    const auto baseline = APMPLiveObjectCount();
    {
        const auto result = runProgramText(
            "(var \"a\" \"m\" \"f\") (set \"a\" (array)) (call $a \"push\" (array $a)) (set \"m\" (object)) "
            "(setprop $m \"m\" $m) (setprop $m \"a\" $a) "
            "(function \"rec\" (array) (return $rec)) (set \"f\" (lambda \"g\" (array) (return $f))) "
            "(setprop (\"require\" \"internal.platform\") \"self\" (\"require\" \"internal.platform\")) "
            "(setprop $a \"fn\" $f) 1");
        CHECK_FALSE(result.error);
    }
    CHECK(APMPLiveObjectCount() == baseline);
}

TEST_CASE("values reached through a native function survive every collection") {
    APMPRuntime runtime;
    ScriptError error;
    // Natives are not tracked, so no sweep ever visits them: a mark left on
    // one from an earlier collection must not stop the next from marking
    // what it holds.
    auto host = makeRef<APMPBlockFunctionValue>(u"host", nullptr);
    runtime.globalScope().addValue(host, u"host");
    evaluateText(runtime.globalScope(),
                 "(setprop $host \"data\" (array 1 2)) "
                 "(setprop (prop (\"require\" \"internal.platform\") \"getVersion\") \"kept\" (object \"k\" 1))",
                 error);
    REQUIRE_FALSE(error);
    for (int i = 0; i < 3; ++i) runtime.collectGarbage();
    auto run = runtime.getRunScope();
    const auto value = evaluateText(
        *run, "(array (prop $host \"data\") (prop (prop (\"require\" \"internal.platform\") \"getVersion\") \"kept\"))",
        error);
    CHECK_FALSE(error);
    CHECK(describeValue(value) == "[[1,2],{\"k\":1}]");
}

namespace {

// A value a thread still holds when its thread-local objects go: released
// after them, as the process's static objects are after the main thread's.
struct HeldPastThreadEnd {
    Ref<APMPArrayValue> value;
    ~HeldPastThreadEnd() { value.reset(); }
};

thread_local HeldPastThreadEnd heldPastThreadEnd;

}  // namespace

TEST_CASE("nested values released after their thread's own objects are freed in full") {
    const auto baseline = APMPLiveObjectCount();
    std::thread([] {
        // Made first, so that it goes last.
        heldPastThreadEnd.value = makeRef<APMPArrayValue>();
        Ref<APMPArrayValue> nested = makeRef<APMPArrayValue>();
        for (int level = 0; level < 100; ++level) nested = makeRef<APMPArrayValue>(APMPValueList{nested});
        heldPastThreadEnd.value = makeRef<APMPArrayValue>(APMPValueList{nested});
        // A nested release on this thread before its end.
        Ref<APMPArrayValue> released = makeRef<APMPArrayValue>(APMPValueList{makeRef<APMPArrayValue>()});
        released.reset();
    }).join();
    CHECK(APMPLiveObjectCount() == baseline);
}
