#include "sections.h"

#include "vxmosal/vxmosal.h"

namespace vxmdiag {

Value librarySection() {
    Value section = Value::object();
    section.add("version", Value::text(VXMOSAL_VERSION));
    return section;
}

Value ticksSection() {
    Value section = Value::object();
    // Every tick read returns 0 while the tick thread cannot start: ask first, so that a 0 read
    // is not mistaken for a real one.
    if (VXM_startTimerThread() != 0) {
        Value failed = Value::failure("the tick thread could not be started");
        section.add("ticks", failed).add("ticks_int64", failed).add("ticks_immediately", failed);
        return section;
    }
    section.add("ticks", Value::integer(VXM_get_ticks()));
    section.add("ticks_int64", Value::integer(VXM_get_ticks_int64()));
    section.add("ticks_immediately", Value::integer(VXM_get_ticks_immediately()));
    return section;
}

Value timeSection() {
    Value section = Value::object();
    VXM_TIME_INFO now{};
    if (VXM_get_time(&now) == 0) {
        section.add("utc", Value::text(formatText("%04d-%02d-%02d %02d:%02d:%02d UTC",
                                                  static_cast<int>(now.year), static_cast<int>(now.month),
                                                  static_cast<int>(now.day), static_cast<int>(now.hour),
                                                  static_cast<int>(now.minute),
                                                  static_cast<int>(now.second))));
    } else {
        section.add("utc", Value::failure("VXM_get_time returned -1"));
    }
    VXM_INT64 stamp = VXM_getUTCTimeStamp();
    section.add("utc_timestamp",
                stamp != -1 ? Value::integer(stamp) : Value::failure("VXM_getUTCTimeStamp returned -1"));
    return section;
}

}  // namespace vxmdiag
