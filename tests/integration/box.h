// What the tests run inside vxmbox share: veth cards made by a test, the library's default card,
// the box's daemon, and checks of whole log sequences or of their warnings and errors.
#ifndef VXMOSAL_TESTS_BOX_H
#define VXMOSAL_TESTS_BOX_H

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstring>

// These bring the rest of what is used here: system, chrono, stdio, streams, strings, vectors.
#include "support/files.h"
#include "support/log_capture.h"
#include "support/private_tmp.h"
#include "support/wait_until.h"
#include "vxmosal/VXM_network.h"

namespace vxmtest {

inline int sh(const std::string& command) {
    const int status = system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Whether the box's daemon logs text within 5 s (it notes a session once the session has ended).
inline bool daemonLogs(const std::string& text) {
    const auto logged = [&] { return readFile("/tmp/vxmbox/vxmopend.log").find(text) != std::string::npos; };
    return waitUntil(logged, std::chrono::seconds(5));
}

// The box's daemon socket moved away for the scope: the channel then finds no daemon.
struct NoDaemon {
    NoDaemon() { rename("/tmp/vxmopend", "/tmp/vxmopend.away"); }
    ~NoDaemon() { rename("/tmp/vxmopend.away", "/tmp/vxmopend"); }
};

// A veth card whose peer ("v" and its name) stays in the box, so its carrier follows the peer;
// removed at the end. A card that cannot be made fails the test.
struct Card {
    explicit Card(std::string name, bool up = true, bool carrier = true) : name_(std::move(name)) {
        peer_ = "v" + name_.substr(0, 14);
        EXPECT_TRUE(sh("ip link add " + name_ + " type veth peer name " + peer_) == 0 && set(up, carrier)) << name_;
    }
    ~Card() { sh("ip link del " + name_); }
    bool set(bool up, bool carrier) {
        const std::string command = "ip link set " + peer_ + (carrier ? " up" : " down") + " && ip link set " + name_;
        const bool running = up && carrier;
        const auto reached = [&] { return (readFile("/sys/class/net/" + name_ + "/operstate") == "up\n") == running; };
        return sh(command + (up ? " up" : " down")) == 0 && waitUntil(reached, std::chrono::seconds(5));
    }
    std::string name_, peer_;
};

// A record whose ifrName and ifrExtName hold the first 16 bytes of name and ext (no terminator for
// 16 or more).
inline VXM_NETWORK_CARD_INFO cardNamed(const std::string& name, const std::string& ext = "", VXM_UINT32 type = 0) {
    VXM_NETWORK_CARD_INFO card{};
    std::memcpy(card.ifrName, name.data(), std::min(name.size(), sizeof card.ifrName));
    std::memcpy(card.ifrExtName, ext.data(), std::min(ext.size(), sizeof card.ifrExtName));
    card.cardType = type;
    return card;
}

inline void setDefaultCard(const std::string& name, VXM_UINT32 type = 0, const std::string& ext = "") {
    VXM_network_setNetWorkCardInfo(std::vector{cardNamed(name, ext, type)}.data());
}

// One expected record: level, function ("" for any), message, module.
struct Rec { int level; std::string function, message, module = "NETWORK"; };

// The capture holds exactly these records, in order.
inline void expectLog(const LogCapture& log, const std::vector<Rec>& expected) {
    const auto all = log.all();
    ASSERT_EQ(all.size(), expected.size()) << (all.empty() ? "" : all.back().message);
    for (std::size_t i = 0; i < all.size(); ++i) {
        const std::string function = expected[i].function.empty() ? "" : all[i].function;
        EXPECT_EQ(std::tie(all[i].message, all[i].level, all[i].module, function),
                  std::tie(expected[i].message, expected[i].level, expected[i].module, expected[i].function)) << i;
    }
}

// The messages of the warnings and errors the capture holds, each on a line.
inline std::string problems(const LogCapture& log) {
    std::string text;
    for (const LogRecord& record : log.all())
        if (record.level >= VXM_LOG_WARN) text += record.message + "\n";
    return text;
}

// Tests in a box, each starting and ending with the library's default card cleared.
struct BoxTest : ::testing::Test {
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
