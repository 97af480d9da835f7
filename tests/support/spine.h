// What the tests of the spine, the statistics and the checksum share: log capture, the registry
// dump, waiting and timing.
#ifndef VXMOSAL_TESTS_SPINE_H
#define VXMOSAL_TESTS_SPINE_H

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/registry_dump.h"
#include "support/wait_until.h"

#endif
