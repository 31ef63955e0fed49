// A monotonic clock for tests and benchmarks, from the performance counter.
#pragma once

// Milliseconds since an arbitrary start.
double NowMs();
