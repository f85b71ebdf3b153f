#pragma once
// Entry points of the talvis scans against measured data: the thickness
// scan (with or without its pictures) and the reflection-shift scan. Each is
// called with the script positioned after its mode line.
#include <cstdio>

namespace kv {

void job_ts_scan_mode(FILE* script);
void job_ts_scan_vis(FILE* script);
void job_fit_shift_scan_mode(FILE* script);

}  // namespace kv
