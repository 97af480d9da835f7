// The network test bed: see netbed.h.
#include "integration/netbed.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "support/private_tmp.h"
#include "vxmosal/VXM_network.h"

namespace vxmtest {
namespace {

constexpr char kDaemonSocket[] = "/tmp/vxmopend";
constexpr char kTableDir[] = "/etc/iproute2/rt_tables.d";
constexpr auto kDaemonWait = std::chrono::seconds(5);

// Whether a client can connect to the socket at path (the file appears at bind, before listen).
bool accepting(const char* path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

}  // namespace

int runProgram(const std::vector<std::string>& args) {
    if (args.empty()) return -1;
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
        }
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string NetBed::unavailableReason() {
    const char* net = getenv("VXM_PRIVATE_NET");
    if (net == nullptr) return "not started by tests/run_in_private_tmp.sh --net";
    if (std::strcmp(net, "1") != 0) {
        const char* why = getenv("VXM_PRIVATE_NET_REASON");
        return std::string("no private network namespace: ") + (why != nullptr ? why : "unavailable");
    }
    return privateTmpMissing();
}

NetBed::NetBed() {
    propertyDir_ = dir_.path();
    const char* saved = getenv("VXM_PROPERTY_DIR");
    hadPropertyDir_ = saved != nullptr;
    if (saved != nullptr) savedPropertyDir_ = saved;
    setenv("VXM_PROPERTY_DIR", propertyDir_.c_str(), 1);
}

NetBed::~NetBed() {
    stopDaemon();
    for (const auto& card : cards_) ip({"link", "del", card.first});
    if (tablesMounted_) umount2(kTableDir, MNT_DETACH);
    if (hadPropertyDir_)
        setenv("VXM_PROPERTY_DIR", savedPropertyDir_.c_str(), 1);
    else
        unsetenv("VXM_PROPERTY_DIR");
}

bool NetBed::ip(const std::vector<std::string>& args) {
    std::vector<std::string> command = {"ip"};
    command.insert(command.end(), args.begin(), args.end());
    return runProgram(command) == 0;
}

bool NetBed::addCard(const std::string& name, bool up, bool carrier) {
    std::string peer = "peer" + std::to_string(nextPeer_++);
    if (!ip({"link", "add", name, "type", "veth", "peer", "name", peer})) return false;
    cards_[name].peer = peer;
    return setCarrier(name, carrier) && setUp(name, up);
}

bool NetBed::setUp(const std::string& name, bool up) {
    auto found = cards_.find(name);
    if (found == cards_.end() || !ip({"link", "set", name, up ? "up" : "down"})) return false;
    found->second.up = up;
    return settle(name);
}

bool NetBed::setCarrier(const std::string& name, bool carrier) {
    auto found = cards_.find(name);
    if (found == cards_.end() || !ip({"link", "set", found->second.peer, carrier ? "up" : "down"}))
        return false;
    found->second.carrier = carrier;
    return settle(name);
}

bool NetBed::settle(const std::string& name) {
    const Card& card = cards_[name];
    const bool running = card.up && card.carrier;
    const std::string path = "/sys/class/net/" + name + "/operstate";
    return waitUntil([&] { return (readFile(path) == "up\n") == running; }, std::chrono::seconds(3));
}

bool NetBed::rename(const std::string& from, const std::string& to) {
    auto found = cards_.find(from);
    if (found == cards_.end()) return false;
    Card card = found->second;
    if (!setUp(from, false) || !ip({"link", "set", from, "name", to})) return false;
    cards_.erase(from);
    cards_[to] = card;
    cards_[to].up = false;
    return !card.up || setUp(to, true);
}

std::string NetBed::peerOf(const std::string& name) const {
    auto found = cards_.find(name);
    return found == cards_.end() ? "" : found->second.peer;
}

bool NetBed::removeCard(const std::string& name) {
    if (cards_.erase(name) == 0) return false;
    return ip({"link", "del", name});
}

bool NetBed::addIPv4(const std::string& name, const std::string& cidr) {
    return ip({"-4", "addr", "add", cidr, "dev", name});
}

bool NetBed::addIPv6(const std::string& name, const std::string& cidr) {
    return ip({"-6", "addr", "add", cidr, "dev", name, "nodad"});
}

bool NetBed::setMac(const std::string& name, const std::string& mac) {
    return ip({"link", "set", name, "address", mac});
}

bool NetBed::route(const std::vector<std::string>& args) {
    std::vector<std::string> command = {"route"};
    command.insert(command.end(), args.begin(), args.end());
    return ip(command);
}

bool NetBed::ipBatch(const std::vector<std::string>& lines) {
    const std::string path = logDir_.file("ip.batch");
    {
        std::ofstream out(path);
        for (const auto& line : lines) out << line << '\n';
        if (!out) return false;
    }
    bool ok = ip({"-batch", path});
    unlink(path.c_str());
    return ok;
}

std::string NetBed::ipOutput(const std::vector<std::string>& args) {
    std::string command = "ip";
    for (const auto& a : args) command += " '" + a + "'";
    std::FILE* stream = popen(command.c_str(), "r");
    if (stream == nullptr) return "";
    std::string out;
    char chunk[4096];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, stream)) > 0;) out.append(chunk, got);
    return pclose(stream) == 0 ? out : "";
}

bool NetBed::nameTable(int id, const std::string& name) {
    // Only inside the launcher's private mount namespace: the machine's own names stay as they are.
    if (getenv("VXM_PRIVATE_TMP") == nullptr || std::strcmp(getenv("VXM_PRIVATE_TMP"), "1") != 0) return false;
    if (!tablesMounted_) {
        if (mount("tmpfs", kTableDir, "tmpfs", 0, "mode=0755") != 0) return false;
        tablesMounted_ = true;
    }
    tableNames_ += std::to_string(id) + " " + name + "\n";
    std::ofstream out(std::string(kTableDir) + "/vxmtest.conf");
    out << tableNames_;
    return static_cast<bool>(out);
}

bool NetBed::setProperty(const std::string& key, const std::string& value) {
    std::ofstream out(propertyDir_ + "/" + key, std::ios::binary | std::ios::trunc);
    out << value;
    return static_cast<bool>(out);
}

bool NetBed::startDaemon() {
    if (daemon_ != nullptr) return daemon_->ready();
    unlink(kDaemonSocket);
    daemon_ = std::make_unique<OpendDaemon>(VXMOPEND_PATH, kDaemonSocket, logDir_.file("vxmopend.log"));
    return daemon_->ready() && waitUntil([] { return accepting(kDaemonSocket); }, kDaemonWait);
}

int NetBed::stopDaemon() {
    if (daemon_ == nullptr) return -1;
    int status = daemon_->stop();
    daemon_.reset();
    return status;
}

std::string NetBed::daemonLog() const { return readFile(logDir_.file("vxmopend.log")); }

std::string NetBed::property(const std::string& key) const { return readFile(propertyDir_ + "/" + key); }

void NetBedTest::SetUp() {
    std::string reason = NetBed::unavailableReason();
    if (!reason.empty()) GTEST_SKIP() << "needs the network test bed (run as root through "
                                         "tests/run_in_private_tmp.sh --net): " << reason;
    bed_ = std::make_unique<NetBed>();
    clearDefaultCard();
}

void NetBedTest::TearDown() {
    clearDefaultCard();
    bed_.reset();
}

void NetBedTest::clearDefaultCard() {
    const VXM_NETWORK_CARD_INFO none{};
    VXM_network_setNetWorkCardInfo(&none);
}

}  // namespace vxmtest
