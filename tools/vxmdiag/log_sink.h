// The host's log sink: every record the library hands over becomes one line on stderr.
#ifndef VXMDIAG_LOG_SINK_H
#define VXMDIAG_LOG_SINK_H

namespace vxmdiag {

// Installs the sink in g_VXMLogCallback. Records below minLevel are dropped. Call before any other
// library call, while the process has one thread.
void installLogSink(int minLevel);

}  // namespace vxmdiag

#endif
