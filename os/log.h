// Diagnostics: one formatted line to standard error, written at once.
#pragma once

// Formats into a stack buffer and issues a single write(2) to descriptor 2,
// so a line is never split, buffered or lost when the process dies next.
void log_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
