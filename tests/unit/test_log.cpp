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
    EXPECT_EQ(std::vector<int>({logged(4), logged(3), checkPointer("x"), checkPointer(nullptr)}),
              std::vector<int>({0, -1, 0, -1}));
    // The '%' of a check's text reaches the sink doubled, so that formatting prints it as written.
    EXPECT_EQ(vxmtest::logLines(capture), "4 StatInfoMgr VXM_AddMutexInfo: Mutex is NULL\n1 unit_test logged: value 1\n"
                                          "1 unit_test logged: value 2\n4 unit_test logged: value % 2 == 0 not true. \n"
                                          "4 common checkPointer: Entrance parameter pAddr is NULL\n\n");
    const auto records = capture.all();
    const int tid = static_cast<int>(syscall(SYS_gettid));
    for (const auto& r : records) {
        const std::string file = &r == &records[0] ? "src/VXM_StatInfoMgr.cpp" : "tests/unit/test_log.cpp";
        EXPECT_EQ(std::make_tuple(r.file, r.line > 0, r.tid, r.kind), std::make_tuple(file, true, tid, 1));
    }
}

}  // namespace
