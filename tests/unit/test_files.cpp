// Opening with permission bits, existence tests, whole-file reads and writes, deletion, the last
// path component and archive extraction (real archives made with zip, the real unzip), on real
// files.
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
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

// ---- VXM_unzip ----

// Everything the process writes to its standard error (fd 2, children included) while alive.
class StderrCapture {
public:
    explicit StderrCapture(const std::string& path) : path_(path) {
        std::fflush(stderr);
        saved_ = dup(2);
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(fd, 2);
        close(fd);
    }
    ~StderrCapture() { restore(); }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // Restores the standard error and returns what was written to it.
    std::string text() {
        restore();
        return vxmtest::readFile(path_);
    }

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }
    std::string path_;
    int saved_ = -1;
};

void removeTree(const std::string& path) {
    nftw(path.c_str(), [](const char* entry, const struct stat*, int, struct FTW*) { return remove(entry); }, 16,
         FTW_DEPTH | FTW_PHYS);
}

// A directory of its own holding ok.zip (a.txt and sub/b.txt, made with zip), removed at the end.
class Unzip : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        ASSERT_EQ(mkdir(path("src").c_str(), 0700), 0);
        ASSERT_EQ(mkdir(path("src/sub").c_str(), 0700), 0);
        writeText(path("src/a.txt"), "alpha\n");
        writeText(path("src/sub/b.txt"), "beta\n");
        const std::string zip = "cd '" + path("src") + "' && zip -qr '" + archive() + "' a.txt sub";
        ASSERT_EQ(std::system(zip.c_str()), 0) << zip;
    }
    void TearDown() override { removeTree(dir_.path()); }

    std::string path(const std::string& name) const { return dir_.file(name); }
    std::string archive() const { return path("ok.zip"); }

    TempDir dir_;
};

TEST_F(Unzip, ExtractsOverwritingAndReturnsTheStatus) {
    const std::string out = path("out");
    StderrCapture errors(path("stderr"));
    EXPECT_EQ(VXM_unzip(archive().c_str(), out.c_str()), 0);
    EXPECT_EQ(vxmtest::readFile(out + "/a.txt"), "alpha\n");
    EXPECT_EQ(vxmtest::readFile(out + "/sub/b.txt"), "beta\n");

    // Existing files are overwritten without a question.
    writeText(out + "/a.txt", "changed");
    EXPECT_EQ(VXM_unzip(archive().c_str(), out.c_str()), 0);
    EXPECT_EQ(vxmtest::readFile(out + "/a.txt"), "alpha\n");
    EXPECT_EQ(errors.text(), "");
}

TEST_F(Unzip, ExtractionFailuresGiveUnzipsStatus) {
    // A member whose stored data no longer matches its checksum.
    std::string bytes = vxmtest::readFile(archive());
    const std::size_t at = bytes.find("alpha\n");
    ASSERT_NE(at, std::string::npos);  // stored, as zip keeps so short a file
    bytes[at] = 'A';
    writeText(path("bad.zip"), bytes);

    StderrCapture errors(path("stderr"));
    EXPECT_EQ(VXM_unzip(path("missing.zip").c_str(), path("out").c_str()), 9);
    EXPECT_EQ(VXM_unzip(path("bad.zip").c_str(), path("out").c_str()), 2);
    const std::string text = errors.text();
    // unzip's own complaints, none of the library's.
    EXPECT_NE(text.find("missing.zip"), std::string::npos) << text;
    EXPECT_EQ(text.find("VXM_unzip failed"), std::string::npos) << text;
    EXPECT_EQ(text.find("read result error"), std::string::npos) << text;
}

TEST_F(Unzip, FailuresGoToStandardError) {
    const std::string out = path("out");
    {
        LogCapture log;
        StderrCapture errors(path("stderr"));
        EXPECT_EQ(VXM_unzip(path("a&b.zip").c_str(), out.c_str()), -1);
        const std::string command = "unzip -oq " + path("a&b.zip") + " -d " + out + ";echo RET:$?";
        EXPECT_EQ(errors.text(), "popen failed, cmd;" + command + "\n");
        auto records = log.all();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].message, "popen Command " + command + " Contain &");
    }
    {
        // The shell ends before the status line: nothing is printed at all.
        StderrCapture errors(path("stderr"));
        const std::string quitting = archive() + " -d " + out + ";kill $$;";
        EXPECT_EQ(VXM_unzip(quitting.c_str(), out.c_str()), -1);
        EXPECT_EQ(errors.text(), "read result error\n");
        EXPECT_EQ(vxmtest::readFile(out + "/sub/b.txt"), "beta\n");  // the extraction itself ran
    }
    {
        // Members printed (unzip -p) before the status line.
        StderrCapture errors(path("stderr"));
        EXPECT_EQ(VXM_unzip(("-p " + archive()).c_str(), out.c_str()), -1);
        // unzip remarks on its own that -p extracts nothing to the directory.
        const std::string text = errors.text();
        const std::string failed = "VXM_unzip failed\n";
        ASSERT_GE(text.size(), failed.size()) << text;
        EXPECT_EQ(text.substr(text.size() - failed.size()), failed) << text;
        EXPECT_EQ(text.find("VXM_unzip"), text.size() - failed.size()) << text;
    }
    StderrCapture errors(path("stderr"));
    EXPECT_EQ(VXM_unzip(nullptr, out.c_str()), -1);
    EXPECT_EQ(VXM_unzip(archive().c_str(), nullptr), -1);
    EXPECT_EQ(errors.text(), "");
}

TEST_F(Unzip, CommandsBeyond511CharactersAreNotRun) {
    // Slashes pad the directory's path without changing the directory.
    const std::size_t fixed = std::string("unzip -oq  -d ;echo RET:$?").size() + archive().size();
    const std::string base = dir_.path() + "/";
    const std::string name = "out";
    auto padded = [&](std::size_t commandLength) {
        return base + std::string(commandLength - fixed - base.size() - name.size(), '/') + name;
    };
    StderrCapture errors(path("stderr"));
    EXPECT_EQ(VXM_unzip(archive().c_str(), padded(512).c_str()), -1);
    EXPECT_FALSE(VXM_dir_exist(path("out").c_str()));
    EXPECT_EQ(VXM_unzip(archive().c_str(), padded(511).c_str()), 0);
    EXPECT_EQ(vxmtest::readFile(path("out/a.txt")), "alpha\n");
    EXPECT_EQ(errors.text(), "");
}

}  // namespace
