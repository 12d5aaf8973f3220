/* Bus names shared by the benchmark's programs. */
#pragma once

#define BENCH_MINIMAL_NAME "com.vorn.Bench.Minimal"
#define BENCH_MINIMAL_PATH "/com/vorn/Bench/Minimal"
#define BENCH_MINIMAL_IFACE "com.vorn.Bench.Minimal"
#define BENCH_MINIMAL_METHOD "Ping"

#define BENCH_PATROLD_NAME "com.vorn.PresetTour"
#define BENCH_PATROLD_PATH "/com/vorn/PresetTour"
#define BENCH_PATROLD_IFACE "com.vorn.PresetTour"
#define BENCH_PATROLD_METHOD "PlayPresetTour"

/* The status objects, and the minimal service's stand-in for them. */
#define BENCH_MANAGER_IFACE "org.freedesktop.DBus.ObjectManager"
#define BENCH_MANAGER_METHOD "GetManagedObjects"
#define BENCH_PATROLD_STATUS_PATH "/com/vorn/PresetTourStatus"
#define BENCH_MINIMAL_STATUS_PATH "/com/vorn/Bench/MinimalStatus"
