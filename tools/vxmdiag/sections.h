// One function per report section. Each asks the library alone and returns the section's values;
// a query that fails yields a failure value in its place and the section goes on.
#ifndef VXMDIAG_SECTIONS_H
#define VXMDIAG_SECTIONS_H

#include "report.h"

namespace vxmdiag {

Value librarySection();   // version of the headers this program was built with
Value ticksSection();     // the three tick reads
Value timeSection();      // UTC wall-clock time and time stamp
Value registrySection();  // own mutexes and thread, dumped by the registries, then released
Value timerSection();     // the timer service with two timers of its own, and one's lateness
// Processor usage (measured over one interval, or else the library's latest figure), memory,
// traffic counters.
Value statsSection(bool measure = true);
Value queueSection();     // message-queue round trips to an echo thread
Value systemSection();    // release and its class, the open daemon's answer, this process by name
Value cardsSection();     // every card: type, link, activity, speed, duplex, MAC, addresses, gateway,
                          // traffic counters; DNS

// Every card's traffic per second since the previous call (the first call only samples).
Value ratesSection();

// Makes name (null: the first card found) the library's default card.
void pickDefaultCard(const char* name);

}  // namespace vxmdiag

#endif
