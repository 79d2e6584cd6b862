# The RTCP packet codec; an independent dissector checks what it builds (native build only).
brenvic_add_test(rtcp_test
  SOURCES rtcp_packet_test.cpp rtcp_tshark_posix_test.cpp
  DEPENDS brenvic_rtcp
  LABELS unit)
