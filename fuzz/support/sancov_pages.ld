/* Gives libFuzzer's coverage counters whole pages of their own, so that shared_coverage.cpp can share them with
   forked children without sharing anything else. */
SECTIONS
{
  __sancov_cntrs : ALIGN(4096) { *(__sancov_cntrs) }
  __sancov_pcs : ALIGN(4096) { *(__sancov_pcs) }
}
INSERT AFTER .data;
