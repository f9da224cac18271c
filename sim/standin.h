// The stand-in for the goggles' stock service, fpv_grd_service: a process of
// its own on the UDP key port that the program stops and resumes as it
// would the real one.
#pragma once

#include <string>

// Binds the key port and forks the stand-in; its pid goes in shared.
void start_standin();
void stop_standin();

// Waits (briefly) until the stand-in has handled every key packet sent so
// far, so that a press acts before the goggles' time moves on.
void standin_sync();

// False when the key port was busy, so no key reaches the stand-in.
bool standin_has_port();

// The stand-in's "pid PID: running" and the like, from /proc.
std::string service_text();
