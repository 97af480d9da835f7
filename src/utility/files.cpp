// Files: opening with fixed permission bits, existence tests, whole-file reads and writes, deletion
// (privileged deletion through the open daemon), archive extraction and the last component of a
// path.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

#include "internal/log.h"
#include "internal/safe_string.h"
#include "vxmosal/VXM_channel.h"
#include "vxmosal/VXM_memory.h"
#include "vxmosal/VXM_shell.h"
#include "vxmosal/VXM_utility.h"

namespace {

constexpr char kModuleTag[] = "os_utility";

constexpr unsigned int kWritePermissions = 0600;
constexpr std::size_t kModeMax = 16;

constexpr std::size_t kCommandSize = 512;
constexpr char kDeleteTemplate[] = "rm -rf %s%s";
constexpr unsigned int kDeletePathItself = 1;
constexpr char kDeleteEntriesSuffix[] = "/*";
// Extracts quietly, overwriting, then prints the extraction's exit status after "RET:".
constexpr char kUnzipTemplate[] = "unzip -oq %s -d %s;echo RET:$?";
constexpr char kUnzipPermitted[] = ";$?";
constexpr std::size_t kUnzipReadMax = 511;

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// The caller's fopen mode with "e" added, so that the descriptor is close-on-exec.
void closeOnExecMode(const char* mode, char (&out)[kModeMax]) {
    if (std::strchr(mode, 'e') != nullptr || std::strlen(mode) + 2 > kModeMax)
        vxm::internal::formatTruncated(out, sizeof out, "%s", mode);
    else
        vxm::internal::formatTruncated(out, sizeof out, "%se", mode);
}

}  // namespace

extern "C" {

FILE* VXM_File_Open(const char* path, const char* mode, unsigned int perm) {
    if (path == nullptr || mode == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "The parameters is invalid!.");
        return nullptr;
    }
    char openMode[kModeMax];
    closeOnExecMode(mode, openMode);
    File file(std::fopen(path, openMode));
    if (!file) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "fopen[%s, %s] ini file fail.", path, mode);
        return nullptr;
    }
    const int fd = fileno(file.get());
    if (fd < 0) {
        file.reset();
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "fileno ini file fail.");
        return nullptr;
    }
    if (fchmod(fd, static_cast<mode_t>(perm)) != 0) {
        file.reset();
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "fchmod ini file fail.");
        return nullptr;
    }
    return file.release();
}

int VXM_filedir_exist(const char* path) { return access(path, F_OK) == 0 ? 1 : 0; }

int VXM_file_exist(const char* path) {
    struct stat info {};
    return stat(path, &info) == 0 && S_ISREG(info.st_mode) ? 1 : 0;
}

int VXM_dir_exist(const char* path) {
    struct stat info {};
    return stat(path, &info) == 0 && S_ISDIR(info.st_mode) ? 1 : 0;
}

int VXM_del_file(const char* path) { return unlink(path); }

int VXM_file_read(const char* path, char** buf, unsigned int* size) {
    if (path == nullptr || buf == nullptr || size == nullptr) return -1;
    File file(std::fopen(path, "re"));
    if (!file) return -1;
    if (std::fseek(file.get(), 0, SEEK_END) != 0) return -1;
    const long end = std::ftell(file.get());
    if (end < 0 || static_cast<unsigned long>(end) >= UINT_MAX) return -1;
    const auto length = static_cast<unsigned int>(end);
    auto* block = static_cast<char*>(VXM_malloc(length + 1));
    if (block == nullptr) return -1;
    if (std::fseek(file.get(), 0, SEEK_SET) != 0) {
        VXM_free(block);
        return -1;
    }
    // A short read leaves the rest of the zeroed block as it was.
    if (length > 0) (void)std::fread(block, length, 1, file.get());
    file.reset();
    block[length] = '\0';
    *size = length;
    *buf = block;
    return 0;
}

int VXM_file_write(const char* path, const char* buf, unsigned int size) {
    if (path == nullptr || buf == nullptr || size == 0) return -1;
    File file(VXM_File_Open(path, "w", kWritePermissions));
    if (!file) return -1;
    const std::size_t items = std::fwrite(buf, size, 1, file.get());
    const bool closed = std::fclose(file.release()) == 0;
    return items == 1 && closed ? 0 : -1;
}

int VXM_del_files(const char* path, unsigned int mode) {
    if (path == nullptr) return 0;
    char command[kCommandSize];
    const int length = vxm::internal::formatTruncated(command, sizeof command, kDeleteTemplate, path,
                                                      mode == kDeletePathItself ? "" : kDeleteEntriesSuffix);
    // A cut command would remove another path (a prefix of this one, or the directory itself).
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof command) return 0;
    // rm prints nothing, so the command function's -1 says nothing about the deletion.
    (void)VXM_utl_shellCMD(command);
    return 0;
}

int VXM_unzip(const char* archive, const char* targetDir) {
    if (archive == nullptr || targetDir == nullptr) return -1;
    char command[kCommandSize] = {};
    const int length =
        vxm::internal::formatTruncated(command, sizeof command, kUnzipTemplate, archive, targetDir);
    // A cut command would extract elsewhere or lose its status line.
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof command) return -1;
    FILE* stream = VXM_popen(command, kUnzipPermitted, "r");
    if (stream == nullptr) {
        std::fprintf(stderr, "popen failed, cmd;%s\n", command);
        return -1;
    }
    char output[kUnzipReadMax + 1] = {};
    const std::size_t got = std::fread(output, 1, kUnzipReadMax, stream);
    if (got == 0) {
        std::fputs("read result error\n", stderr);
        pclose(stream);
        return -1;
    }
    output[got] = '\0';
    pclose(stream);
    int status = 0;
    if (std::sscanf(output, "RET:%d", &status) != 1) {
        std::fputs("VXM_unzip failed\n", stderr);
        return -1;
    }
    return status;
}

char* VXM_path_absoluteToRelative(char* path) {
    char* slash = std::strrchr(path, '/');
    return slash != nullptr && slash[1] != '\0' ? slash + 1 : path;
}

}  // extern "C"
