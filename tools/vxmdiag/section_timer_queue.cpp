// The timer service's state and a message-queue round trip, measured through the library.
#include <atomic>

#include "sections.h"
#include "vxmosal/vxmosal.h"

namespace vxmdiag {
namespace {

constexpr VXM_UINT32 kProbeDelayMs = 50;
constexpr int kRoundTrips = 2000;

std::atomic<VXM_INT64> g_probeRanAt{0};

void probeFired(int, int) { g_probeRanAt.store(VXM_get_real_ticks_immediately()); }
void heartbeat(int, int) {}

Value pendingList() {
    Value list = Value::list();
    int count = 0;
    VXM_TIMER_INFO records[VXM_TIMER_MAX_PENDING];
    if (VXM_timer_get(&count, records) != 0) return Value::failure("VXM_timer_get returned -1");
    for (int i = 0; i < count; ++i)
        list.push(Value::object()
                      .add("id", Value::integer(records[i].id))
                      .add("delay_ms", Value::integer(records[i].ulDelay))
                      .add("interval_ms", Value::integer(records[i].ulInterval))
                      .add("run_count", Value::integer(records[i].runCount)));
    return list;
}

// Echoes every message of one queue back into another until it reads a negative one.
struct Echo {
    VXM_MSG_QUEUE in;
    VXM_MSG_QUEUE out;
};

void* echoBody(void* arg) {
    auto* echo = static_cast<Echo*>(arg);
    for (;;) {
        int message = 0;
        if (VXM_msg_peek(echo->in, &message) != 0) continue;
        if (message < 0) return nullptr;
        while (VXM_msg_post(echo->out, &message) != 0) {
        }
    }
}

}  // namespace

Value timerSection() {
    Value section = Value::object();
    if (VXM_timer_init() != 0) {
        section.add("service", Value::failure("VXM_timer_init returned -1"));
        return section;
    }
    section.add("service", Value::text("running"));
    int periodic = VXM_timer_add(heartbeat, 0, 1000, 1000);
    VXM_INT64 addedAt = VXM_get_real_ticks_immediately();
    int oneShot = VXM_timer_add(probeFired, 0, kProbeDelayMs, 0);
    section.add("periodic_id", periodic > 0 ? Value::integer(periodic) : Value::failure("add returned -1"));
    section.add("one_shot_id", oneShot > 0 ? Value::integer(oneShot) : Value::failure("add returned -1"));
    section.add("pending", pendingList());
    if (oneShot > 0) {
        for (int i = 0; i < 100 && g_probeRanAt.load() == 0; ++i) VXM_delay(10);
        VXM_INT64 ranAt = g_probeRanAt.load();
        section.add("one_shot_lateness_ms",
                    ranAt != 0 ? Value::integer(ranAt - addedAt - kProbeDelayMs)
                               : Value::failure("did not run within 1 s"));
    }
    VXM_timer_cancel(periodic);
    VXM_timer_quit();
    return section;
}

Value queueSection() {
    Value section = Value::object();
    Echo echo{VXM_msg_create(16, sizeof(int), 0), VXM_msg_create(16, sizeof(int), 0)};
    unsigned long thread = 0;
    if (echo.in == 0 || echo.out == 0 ||
        VXM_thread_createJoinable(echoBody, &echo, &thread, 0, 0) != 0) {
        section.add("round_trip", Value::failure("could not make the queues or the echo thread"));
    } else {
        VXM_INT64 start = VXM_get_real_ticks_immediately();
        int completed = 0;
        for (int i = 0; i < kRoundTrips; ++i) {
            while (VXM_msg_post(echo.in, &i) != 0) {
            }
            int reply = -1;
            while (VXM_msg_peek(echo.out, &reply) != 0) {
            }
            if (reply == i) ++completed;
        }
        VXM_INT64 elapsedMs = VXM_get_real_ticks_immediately() - start;
        int stop = -1;
        while (VXM_msg_post(echo.in, &stop) != 0) {
        }
        VXM_thread_join(thread);
        section.add("round_trips", Value::integer(completed));
        section.add("round_trip_us", Value::integer(elapsedMs * 1000 / kRoundTrips));
    }
    VXM_msg_destroy(echo.in);
    VXM_msg_destroy(echo.out);
    return section;
}

}  // namespace vxmdiag
