# The RTCP packet codec: a unit of its own, so that it can be tested and fuzzed alone.
brenvic_add_subsystem(brenvic_rtcp SOURCES rtcp_packet.cpp)
