// The logging statement form and the two check patterns, seen from the sink.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "internal/log.h"
#include "support/log_capture.h"
#include "vxmosal/VXM_registry.h"

namespace {

constexpr char kModuleTag[] = "unit_test";

int sideEffects = 0;
int logged(int value) {
    VXM_LOG(VXM_LOG_DEBUG, kModuleTag, "value %d", ++sideEffects);
    VXM_CHECK(value % 2 == 0, -1);
    return 0;
}
int checkPointer(const char* pAddr) {
    VXM_CHECK_PARAM(pAddr);
    return 0;
}

TEST(Log, RecordsCarryEveryFieldAndNothingIsEvaluatedWithoutASink) {
    EXPECT_EQ(logged(3), -1);
    EXPECT_EQ(sideEffects, 0) << "an argument was evaluated with no sink installed";
    vxmtest::LogCapture capture;
    VXM_AddMutexInfo(0, 7);
    EXPECT_EQ(logged(4), 0);
    EXPECT_EQ(logged(3), -1);
    EXPECT_EQ(checkPointer("x"), 0);
    EXPECT_EQ(checkPointer(nullptr), -1);
    // The '%' of a check's text reaches the sink doubled, so that formatting prints it as written.
    const struct { const char* file; const char* function; int level; const char* module, *format, *message; } rows[] = {
        {"src/VXM_StatInfoMgr.cpp", "VXM_AddMutexInfo", 4, "StatInfoMgr", "Mutex is NULL", "Mutex is NULL"},
        {"tests/unit/test_log.cpp", "logged", 1, "unit_test", "value %d", "value 1"},
        {"tests/unit/test_log.cpp", "logged", 1, "unit_test", "value %d", "value 2"},
        {"tests/unit/test_log.cpp", "logged", 4, "unit_test", "value %% 2 == 0 not true. ", "value % 2 == 0 not true. "},
        {"tests/unit/test_log.cpp", "checkPointer", 4, "common", "Entrance parameter %s is NULL\n",
         "Entrance parameter pAddr is NULL\n"},
    };
    auto records = capture.all();
    ASSERT_EQ(records.size(), std::size(rows));
    for (std::size_t i = 0; i < records.size(); ++i) {
        SCOPED_TRACE(rows[i].message);
        EXPECT_EQ(records[i].file, rows[i].file);
        EXPECT_GT(records[i].line, 0);
        EXPECT_EQ(records[i].function, rows[i].function);
        EXPECT_EQ(records[i].tid, static_cast<int>(syscall(SYS_gettid)));
        EXPECT_EQ(records[i].kind, 1);
        EXPECT_EQ(records[i].level, rows[i].level);
        EXPECT_EQ(records[i].module, rows[i].module);
        EXPECT_EQ(records[i].format, rows[i].format);
        EXPECT_EQ(records[i].message, rows[i].message);
    }
}

}  // namespace
