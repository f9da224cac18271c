// Holding the stock service fpv_grd_service stopped while the menu runs,
// with a watchdog child that continues it if this process dies.
#pragma once

constexpr const char* SERVICE_NAME = "fpv_grd_service";
constexpr int SERVICE_NAME_MATCH = 15;  // the most of a name the kernel keeps

int service_pause();
void service_resume();
int service_pid();

// The watchdog child's body: waits until the parent that forked it is gone,
// continues the service and ends the process. Never returns.
[[noreturn]] void service_watchdog(int parent_pid, int service);
