// The logging statement form and the two check patterns, seen from the sink.
#include <sys/syscall.h>
#include <unistd.h>

#include "internal/log.h"
#include "support/spine.h"

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
    auto records = capture.all();
    // The '%' of a check's text reaches the sink doubled, so that formatting prints it as written.
    vxmtest::expectRecords(records, {{4, "StatInfoMgr", "Mutex is NULL"}, {1, "unit_test", "value 1"},
                                     {1, "unit_test", "value 2"}, {4, "unit_test", "value % 2 == 0 not true. "},
                                     {4, "common", "Entrance parameter pAddr is NULL\n"}});
    const char* functions[] = {"VXM_AddMutexInfo", "logged", "logged", "logged", "checkPointer"};
    for (std::size_t i = 0; i < records.size(); ++i)
        EXPECT_EQ(std::make_tuple(records[i].file, records[i].line > 0, records[i].function, records[i].tid, records[i].kind),
                  std::make_tuple(std::string(i == 0 ? "src/VXM_StatInfoMgr.cpp" : "tests/unit/test_log.cpp"), true,
                                  std::string(functions[i]), static_cast<int>(syscall(SYS_gettid)), 1)) << i;
    EXPECT_EQ(records[3].format, "value %% 2 == 0 not true. ");
    EXPECT_EQ(records[4].format, "Entrance parameter %s is NULL\n");
}

}  // namespace
