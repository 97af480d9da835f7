// The library's privileged services against the box's vxmopend: deleting a path or a directory's
// entries.
#include <unistd.h>

#include "integration/box.h"
#include "vxmosal/VXM_utility.h"

namespace {

using namespace vxmtest;
using OpendClient = BoxTest;

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Mode 1 removes the path, any other mode what the shell pattern path/* names (no hidden entry), from
// a directory holding two files, a hidden file and a subdirectory with a file, through the daemon. A
// command cut at 511 characters would remove another path: one that does not fit is not run.
TEST_F(OpendClient, DelFilesRunsOneCommandThatFitsThroughTheDaemon) {
    TempDir dir;
    const std::string base = dir.path() + "/", victim = base + "victim";
    auto padded = [&](std::size_t commandLength, std::size_t suffix) {  // slashes change nothing named
        return base + std::string(commandLength - 7 - suffix - base.size() - 6, '/') + "victim";
    };
    struct Row { std::string path; unsigned int mode; std::vector<bool> left; };
    const Row rows[] = {{victim, 1, {false, false, false}}, {victim, 0, {true, false, true}},
                        {victim, 2, {true, false, true}}, {padded(512, 2), 0, {true, true, true}},
                        {padded(512, 0), 1, {true, true, true}}, {padded(511, 0), 1, {false, false, false}}};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.path.size()) + " mode " + std::to_string(row.mode));
        ASSERT_EQ(sh("mkdir -p " + victim + "/sub && cd " + victim + " && touch a.log b.log .keep sub/c.log"), 0);
        EXPECT_EQ(VXM_del_files(row.path.c_str(), row.mode), 0) << "rm prints nothing, and that is no failure";
        EXPECT_EQ(std::vector<bool>({exists(victim), exists(victim + "/a.log"), exists(victim + "/.keep")}), row.left);
        if (row.path == victim)
            EXPECT_TRUE(daemonLogs("command=\"rm -rf " + row.path + (row.mode == 1 ? "" : "/*") + "\" status=0"));
    }
    EXPECT_EQ(VXM_del_files(nullptr, 1), 0);
}

}  // namespace
