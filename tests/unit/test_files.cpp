// Opening with permission bits, existence tests, whole-file reads and writes, deletion and the last
// path component, on real files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "support/files.h"
#include "support/log_capture.h"
#include "vxmosal/VXM_memory.h"
#include "vxmosal/VXM_utility.h"

namespace {

using vxmtest::LogCapture;
using vxmtest::TempDir;

mode_t permissions(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

void writeText(const std::string& path, const std::string& text) {
    FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
}

void expectOneError(const LogCapture& log, const std::string& message) {
    auto records = log.all();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, VXM_LOG_ERROR);
    EXPECT_EQ(records[0].module, "os_utility");
    EXPECT_EQ(records[0].function, "VXM_File_Open");
    EXPECT_EQ(records[0].message, message);
}

TEST(FileOpen, SetsThePermissionBitsOfNewAndExistingFiles) {
    TempDir dir;
    const std::string path = dir.file("settings.ini");
    FILE* file = VXM_File_Open(path.c_str(), "w", 0640);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(std::fputs("a=1\n", file), 1);
    // The stream's descriptor does not leak into commands the process starts.
    EXPECT_NE(fcntl(fileno(file), F_GETFD) & FD_CLOEXEC, 0);
    std::fclose(file);
    EXPECT_EQ(permissions(path), 0640u);

    file = VXM_File_Open(path.c_str(), "a", 0604);
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    EXPECT_EQ(permissions(path), 0604u);
    EXPECT_EQ(vxmtest::readFile(path), "a=1\n");
}

TEST(FileOpen, ReportsEachFailure) {
    TempDir dir;
    {
        LogCapture log;
        EXPECT_EQ(VXM_File_Open(nullptr, "r", 0600), nullptr);
        expectOneError(log, "The parameters is invalid!.");
    }
    {
        LogCapture log;
        EXPECT_EQ(VXM_File_Open(dir.file("x").c_str(), nullptr, 0600), nullptr);
        expectOneError(log, "The parameters is invalid!.");
    }
    {
        LogCapture log;
        const std::string missing = dir.file("no/such.ini");
        EXPECT_EQ(VXM_File_Open(missing.c_str(), "r", 0600), nullptr);
        expectOneError(log, "fopen[" + missing + ", r] ini file fail.");
    }
}

TEST(Exist, FilesDirectoriesAndLinks) {
    TempDir dir;
    const std::string file = dir.file("plain");
    writeText(file, "x");
    ASSERT_EQ(symlink(file.c_str(), dir.file("to_file").c_str()), 0);
    ASSERT_EQ(symlink(dir.path().c_str(), dir.file("to_dir").c_str()), 0);
    ASSERT_EQ(symlink(dir.file("gone").c_str(), dir.file("dangling").c_str()), 0);

    EXPECT_EQ(VXM_filedir_exist(file.c_str()), 1);
    EXPECT_EQ(VXM_file_exist(file.c_str()), 1);
    EXPECT_EQ(VXM_dir_exist(file.c_str()), 0);

    EXPECT_EQ(VXM_filedir_exist(dir.path().c_str()), 1);
    EXPECT_EQ(VXM_file_exist(dir.path().c_str()), 0);
    EXPECT_EQ(VXM_dir_exist(dir.path().c_str()), 1);

    EXPECT_EQ(VXM_file_exist(dir.file("to_file").c_str()), 1);
    EXPECT_EQ(VXM_dir_exist(dir.file("to_dir").c_str()), 1);
    EXPECT_EQ(VXM_file_exist(dir.file("to_dir").c_str()), 0);

    EXPECT_EQ(VXM_filedir_exist(dir.file("dangling").c_str()), 0);
    EXPECT_EQ(VXM_file_exist(dir.file("dangling").c_str()), 0);
    EXPECT_EQ(VXM_filedir_exist(dir.file("gone").c_str()), 0);
    EXPECT_EQ(VXM_dir_exist(dir.file("gone").c_str()), 0);

    EXPECT_EQ(VXM_file_exist("/dev/null"), 0);  // a device is no regular file
    EXPECT_EQ(VXM_filedir_exist("/dev/null"), 1);
}

TEST(DelFile, RemovesOnceThenFails) {
    TempDir dir;
    const std::string file = dir.file("old.log");
    writeText(file, "x");
    EXPECT_EQ(VXM_del_file(file.c_str()), 0);
    EXPECT_EQ(VXM_filedir_exist(file.c_str()), 0);
    EXPECT_EQ(VXM_del_file(file.c_str()), -1);
}

TEST(FileRead, WholeFileWithTerminator) {
    TempDir dir;
    const std::string path = dir.file("data.bin");
    const std::string content("line one\n\0binary\xff", 17);
    writeText(path, content);
    char* buffer = nullptr;
    unsigned int size = 0;
    ASSERT_EQ(VXM_file_read(path.c_str(), &buffer, &size), 0);
    EXPECT_EQ(size, content.size());
    EXPECT_EQ(std::string(buffer, size), content);
    EXPECT_EQ(buffer[size], '\0');
    VXM_free(buffer);

    const std::string empty = dir.file("empty");
    writeText(empty, "");
    buffer = nullptr;
    size = 99;
    ASSERT_EQ(VXM_file_read(empty.c_str(), &buffer, &size), 0);
    EXPECT_EQ(size, 0u);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer[0], '\0');
    VXM_free(buffer);

    // Kernel files report no size.
    buffer = nullptr;
    ASSERT_EQ(VXM_file_read("/proc/self/status", &buffer, &size), 0);
    EXPECT_EQ(size, 0u);
    EXPECT_STREQ(buffer, "");
    VXM_free(buffer);
}

TEST(FileRead, FailuresLeaveTheOutArgumentsAlone) {
    TempDir dir;
    char sentinel = 0;
    char* buffer = &sentinel;
    unsigned int size = 42;
    EXPECT_EQ(VXM_file_read(dir.file("missing").c_str(), &buffer, &size), -1);
    EXPECT_EQ(buffer, &sentinel);
    EXPECT_EQ(size, 42u);
    EXPECT_EQ(VXM_file_read(nullptr, &buffer, &size), -1);
    EXPECT_EQ(VXM_file_read("/proc/self/status", nullptr, &size), -1);
    EXPECT_EQ(VXM_file_read("/proc/self/status", &buffer, nullptr), -1);
    EXPECT_EQ(buffer, &sentinel);
}

TEST(FileWrite, TruncatesAndKeepsTheFileToItsOwner) {
    TempDir dir;
    const std::string path = dir.file("out.txt");
    writeText(path, "a much longer previous content");
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    EXPECT_EQ(VXM_file_write(path.c_str(), "new", 3), 0);
    EXPECT_EQ(vxmtest::readFile(path), "new");
    EXPECT_EQ(permissions(path), 0600u);

    const char bytes[] = {'a', '\0', 'b'};
    EXPECT_EQ(VXM_file_write(path.c_str(), bytes, 3), 0);
    EXPECT_EQ(vxmtest::readFile(path), std::string(bytes, 3));
}

TEST(FileWrite, Failures) {
    TempDir dir;
    const std::string path = dir.file("never");
    EXPECT_EQ(VXM_file_write(path.c_str(), "x", 0), -1);
    EXPECT_EQ(VXM_file_write(path.c_str(), nullptr, 1), -1);
    EXPECT_EQ(VXM_file_write(nullptr, "x", 1), -1);
    EXPECT_EQ(VXM_filedir_exist(path.c_str()), 0);

    LogCapture log;
    const std::string missing = dir.file("no/dir/out");
    EXPECT_EQ(VXM_file_write(missing.c_str(), "x", 1), -1);
    expectOneError(log, "fopen[" + missing + ", w] ini file fail.");
}

TEST(PathAbsoluteToRelative, LastComponent) {
    char path[] = "/data/local/tmp/update.zip";
    EXPECT_EQ(VXM_path_absoluteToRelative(path), path + 16);
    EXPECT_STREQ(VXM_path_absoluteToRelative(path), "update.zip");
    char directory[] = "/data/local/";
    EXPECT_EQ(VXM_path_absoluteToRelative(directory), directory);
    char bare[] = "update.zip";
    EXPECT_EQ(VXM_path_absoluteToRelative(bare), bare);
    char root[] = "/";
    EXPECT_EQ(VXM_path_absoluteToRelative(root), root);
}

}  // namespace
