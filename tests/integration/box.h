// What the tests run inside vxmbox share: veth cards made by a test, the library's default card,
// the box's daemon, and checks of whole log sequences.
#ifndef VXMOSAL_TESTS_BOX_H
#define VXMOSAL_TESTS_BOX_H

#include <stdlib.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/log_capture.h"
#include "support/opend_daemon.h"  // waitUntil
#include "support/private_tmp.h"
#include "vxmosal/VXM_network.h"

namespace vxmtest {

inline int sh(const std::string& command) {
    const int status = system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string sysfs(const std::string& card, const std::string& file) { return readFile("/sys/class/net/" + card + "/" + file); }

// Whether the box's daemon logs text within 5 s (it notes a session once the session has ended).
inline bool daemonLogs(const std::string& text) {
    return waitUntil([&] { return readFile("/tmp/vxmbox/vxmopend.log").find(text) != std::string::npos; }, std::chrono::seconds(5));
}

// The box's daemon socket moved away for the scope: the channel then finds no daemon.
struct NoDaemon {
    NoDaemon() { rename("/tmp/vxmopend", "/tmp/vxmopend.away"); }
    ~NoDaemon() { rename("/tmp/vxmopend.away", "/tmp/vxmopend"); }
};

// A veth card whose peer stays in the box, so its carrier follows the peer; removed at the end.
class Card {
public:
    explicit Card(std::string name, bool up = true, bool carrier = true) : name_(std::move(name)) {
        static int peers = 0;
        peer_ = "peer" + std::to_string(peers++);
        ok_ = sh("ip link add " + name_ + " type veth peer name " + peer_) == 0 && set(up, carrier);
    }
    ~Card() { sh("ip link del " + name_); }
    bool set(bool up, bool carrier) {
        const std::string peer = "ip link set " + peer_ + (carrier ? " up" : " down");
        return sh(peer + " && ip link set " + name_ + (up ? " up" : " down")) == 0 &&
               waitUntil([&] { return (sysfs(name_, "operstate") == "up\n") == (up && carrier); }, std::chrono::seconds(5));
    }
    bool ok() const { return ok_; }

private:
    std::string name_, peer_;
    bool ok_ = false;
};

// A record whose ifrName holds the first 16 bytes of name (no terminator for 16 or more).
inline VXM_NETWORK_CARD_INFO cardNamed(const std::string& name, const std::string& ext = "", VXM_UINT32 type = 0) {
    VXM_NETWORK_CARD_INFO card{};
    std::memcpy(card.ifrName, name.data(), std::min(name.size(), sizeof card.ifrName));
    std::strncpy(card.ifrExtName, ext.c_str(), sizeof card.ifrExtName - 1);
    card.cardType = type;
    return card;
}

inline void setDefaultCard(const std::string& name, VXM_UINT32 type = 0, const std::string& ext = "") {
    VXM_NETWORK_CARD_INFO card = cardNamed(name, ext, type);
    VXM_network_setNetWorkCardInfo(&card);
}

// One expected record: level, function ("" for any), message, module.
struct Rec {
    int level;
    std::string function, message, module = "NETWORK";
};

// The capture holds exactly these records, in order.
inline void expectLog(const LogCapture& log, const std::vector<Rec>& expected) {
    const auto all = log.all();
    ASSERT_EQ(all.size(), expected.size()) << (all.empty() ? "" : all.back().message);
    for (std::size_t i = 0; i < all.size(); ++i) {
        const Rec& want = expected[i];
        const std::string function = want.function.empty() ? want.function : all[i].function;
        EXPECT_EQ(std::tie(all[i].message, all[i].level, all[i].module, function),
                  std::tie(want.message, want.level, want.module, want.function)) << i;
    }
}

// Tests in a box, each starting and ending with the library's default card cleared.
class BoxTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string why = privateTmpMissing(); !why.empty()) GTEST_SKIP() << why;
        setDefaultCard("");
    }
    void TearDown() override { setDefaultCard(""); }
    static void setProperty(const std::string& key, const std::string& value) {
        std::ofstream(std::string(getenv("VXM_PROPERTY_DIR")) + "/" + key) << value;
    }
};

}  // namespace vxmtest

#endif
