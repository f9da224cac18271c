// Text both modes print: whole writes to a descriptor, the last lines of the
// program's standard error, and the picture registers.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

void write_all(int fd, const std::string& s);
std::vector<std::string> last_lines(const std::string& text, size_t count);

// The four picture bytes as the processor holds them; "--" until written.
std::string register_text();
