// The network test bed: real kernel interfaces in the private network namespace that
// tests/run_in_private_tmp.sh --net gives a test program, a private property directory and a
// private vxmopend on /tmp/vxmopend. Cards are veth ends whose peers stay in the namespace (named
// "peerN", which the library does not count as cards); a card's carrier follows its peer's state.
#ifndef VXMOSAL_TESTS_NETBED_H
#define VXMOSAL_TESTS_NETBED_H

#include <sys/types.h>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/opend_daemon.h"

namespace vxmtest {

// Runs a program (no shell) with stdout and stderr sent to /dev/null. Returns its exit status, or
// -1 when it could not be run or was ended by a signal.
int runProgram(const std::vector<std::string>& args);

class NetBed {
public:
    // Empty when the process runs in the launcher's private /tmp and network namespace, else why not.
    static std::string unavailableReason();

    NetBed();
    ~NetBed();  // removes its cards, stops its daemon, restores VXM_PROPERTY_DIR
    NetBed(const NetBed&) = delete;
    NetBed& operator=(const NetBed&) = delete;

    // A veth card with its peer; up says whether the card is administratively up, carrier whether
    // its peer is up (a card that is up without carrier is up but not running).
    bool addCard(const std::string& name, bool up = true, bool carrier = true);
    bool setUp(const std::string& name, bool up);
    bool setCarrier(const std::string& name, bool carrier);
    // Renames a card (taken down and, when it was up, brought back up).
    bool rename(const std::string& from, const std::string& to);
    bool removeCard(const std::string& name);
    // The peer of a card ("" for a card the bed did not make).
    std::string peerOf(const std::string& name) const;
    // "10.1.2.3/24"; IPv6 addresses are added without duplicate detection, so they are usable at once.
    bool addIPv4(const std::string& name, const std::string& cidr);
    bool addIPv6(const std::string& name, const std::string& cidr);
    bool setMac(const std::string& name, const std::string& mac);
    // "ip route ARGS..." (routes through a card go with it).
    bool route(const std::vector<std::string>& args);
    // Runs the lines through "ip -batch" at once (for hundreds of routes).
    bool ipBatch(const std::vector<std::string>& lines);
    // What "ip ARGS..." prints on standard output ("" when it fails).
    std::string ipOutput(const std::vector<std::string>& args);
    // Names a routing table for the ip tool: a private tmpfs over /etc/iproute2/rt_tables.d (this
    // mount namespace's own, gone with the bed) holds the names.
    bool nameTable(int id, const std::string& name);

    // Writes a property file as it stands, "ro." keys included (the store is the bed's own).
    bool setProperty(const std::string& key, const std::string& value);

    // The real daemon on /tmp/vxmopend (support/opend_daemon.h); stopped with SIGTERM and reaped.
    bool startDaemon();
    // The daemon's exit status, or -1 when it had to be killed or was not running.
    int stopDaemon();
    std::string daemonLog() const;

    const std::string& propertyDir() const { return propertyDir_; }
    std::string property(const std::string& key) const;  // "" when unset

private:
    bool ip(const std::vector<std::string>& args);
    // Waits until the kernel's operational state (which IFF_RUNNING follows, set asynchronously)
    // matches the card's administrative state and carrier.
    bool settle(const std::string& name);

    struct Card {
        std::string peer;
        bool up = false;
        bool carrier = false;
    };

    TempDir dir_;     // the property directory
    TempDir logDir_;  // the daemon's log
    std::string propertyDir_;
    std::string savedPropertyDir_;
    bool hadPropertyDir_ = false;
    std::map<std::string, Card> cards_;
    int nextPeer_ = 0;
    std::unique_ptr<OpendDaemon> daemon_;
    bool tablesMounted_ = false;
    std::string tableNames_;
};

// Base of tests that run on the bed: skips, with the reason, where the bed cannot be had. Each
// test starts and ends with the library's default card cleared.
class NetBedTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    static void clearDefaultCard();

    NetBed& bed() { return *bed_; }

private:
    std::unique_ptr<NetBed> bed_;
};

}  // namespace vxmtest

#endif
