// A recording read whole, for the recording tests: its entries as the
// reader gives them, or the reader's one-line refusal.
#pragma once

#include <string>
#include <vector>

#include "recording/reader.h"

struct RecRead {
    RecHeader header {};
    std::vector<RecEntry> entries;
    std::string error;
};

inline RecRead rec_read_text(const std::string& text)
{
    static RecReader r;
    RecRead out;
    if (rec_reader_open(&r, text.data(), text.size()) < 0) {
        out.error = r.error;
        return out;
    }
    out.header = r.header;
    RecEntry e;
    int rc;
    while ((rc = rec_reader_next(&r, &e)) == 1)  // 1, 0 at the end, -1: nothing else
        out.entries.push_back(e);
    if (rc != 0)
        out.error = rc < 0 ? r.error : "rec_reader_next gave " + std::to_string(rc);
    return out;
}
