// The logging statement form and the two check patterns, seen from the sink.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "internal/log.h"
#include "support/log_capture.h"
#include "vxmosal/VXM_registry.h"

namespace {

constexpr char kModuleTag[] = "unit_test";

int checkEven(int value) {
    VXM_CHECK(value % 2 == 0, -1);
    return 0;
}

int checkPointer(const char* pAddr) {
    VXM_CHECK_PARAM(pAddr);
    return 0;
}

int sideEffects = 0;
int countedArgument() { return ++sideEffects; }

void logWithArgument() { VXM_LOG(VXM_LOG_DEBUG, kModuleTag, "value %d", countedArgument()); }

TEST(Log, RecordCarriesEveryField) {
    vxmtest::LogCapture capture;
    VXM_AddMutexInfo(0, 7);
    auto records = capture.withFormat("Mutex is NULL");
    ASSERT_EQ(records.size(), 1u);
    const auto& record = records[0];
    EXPECT_EQ(record.file, "src/VXM_StatInfoMgr.cpp");
    EXPECT_GT(record.line, 0);
    EXPECT_EQ(record.function, "VXM_AddMutexInfo");
    EXPECT_EQ(record.tid, static_cast<int>(syscall(SYS_gettid)));
    EXPECT_EQ(record.kind, 1);
    EXPECT_EQ(record.level, VXM_LOG_ERROR);
    EXPECT_EQ(record.module, "StatInfoMgr");
}

TEST(Log, NoSinkEvaluatesNothing) {
    sideEffects = 0;
    logWithArgument();
    EXPECT_EQ(sideEffects, 0);
    vxmtest::LogCapture capture;
    logWithArgument();
    EXPECT_EQ(sideEffects, 1);
    auto records = capture.withFormat("value %d");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, "value 1");
    EXPECT_EQ(records[0].function, "logWithArgument");
    EXPECT_EQ(records[0].file, "tests/unit/test_log.cpp");
}

TEST(Check, FailsWithTheExpressionText) {
    vxmtest::LogCapture capture;
    EXPECT_EQ(checkEven(4), 0);
    EXPECT_TRUE(capture.all().empty());
    EXPECT_EQ(checkEven(3), -1);
    auto records = capture.all();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, VXM_LOG_ERROR);
    EXPECT_EQ(records[0].module, "unit_test");
    // The '%' reaches the sink doubled, so that formatting the record prints the text as written.
    EXPECT_EQ(records[0].format, "value %% 2 == 0 not true. ");
    EXPECT_EQ(records[0].message, "value % 2 == 0 not true. ");
}

TEST(Check, ConversionsInTheTextAreNotRead) {
    constexpr auto text = vxm::internal::escapePercent("sscanf(p, \"%hhu\", &b) == 1 not true. ");
    EXPECT_STREQ(text.text, "sscanf(p, \"%%hhu\", &b) == 1 not true. ");
    constexpr auto plain = vxm::internal::escapePercent("NULL != szIP not true. ");
    EXPECT_STREQ(plain.text, "NULL != szIP not true. ");
}

TEST(CheckParam, NullParameterIsNamed) {
    vxmtest::LogCapture capture;
    EXPECT_EQ(checkPointer("x"), 0);
    EXPECT_EQ(checkPointer(nullptr), -1);
    auto records = capture.all();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, VXM_LOG_ERROR);
    EXPECT_EQ(records[0].module, "common");
    EXPECT_EQ(records[0].format, "Entrance parameter %s is NULL\n");
    EXPECT_EQ(records[0].message, "Entrance parameter pAddr is NULL\n");
}

}  // namespace
