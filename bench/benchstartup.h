#pragma once

// murmurly-bench-client --startup [--runs N] [--compare CLIENT]: what the
// client costs at start beside a bare Qt window, in one run on one platform.
// Each program is started N times (5 unless told), in turn, every other
// round backwards; for each the RSS 3 s after start and the time until its
// first window is exposed are printed. The client runs as a user starts it the first time: fresh
// settings, config.txt naming a real murmurly-server started here, the login
// dialog waiting. --compare measures another client program the same way
// beside it (an older build, say).
int RunStartupBench(int argc, char** argv);
