// The process killer's step from the ps listing to its kill commands, apart from running them, so
// that a test can walk any listing without killing anything.
#ifndef VXMOSAL_UTILITY_PROCESS_LISTING_H
#define VXMOSAL_UTILITY_PROCESS_LISTING_H

namespace vxm::process {

// Splits listing (terminated; cut in place) at newlines into at most 20 ids and passes
// "kill -9 <id>" for each to run, in order. Returns 0, or -1 at the first id that
// VXM_check_inject_str refuses (the caller logs that, under its own name).
int killListed(char* listing, int (*run)(const char* command)) noexcept;

}  // namespace vxm::process

#endif
