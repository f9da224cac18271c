// The recording reader: typed entries with repeats expanded, and one line
// naming the line number for each damaged or cut file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "recording/reader.h"
#include "recording_read.h"

namespace {

const std::string HEAD = "velmox-recording 1 program=VelmoX-AVMenu version=1.3.0 build=abc-armhf t0=1.000000000\nargs -s a%20b\n";
const std::string TURN = "dev_open /dev/remote_i2c 802 -> 3\n"
                         "dev_ioctl 3 c00c4110 3 18 01000000430000000100000001000000b7 -> 0 02\n"
                         "reg_store 18 6\n"
                         "reg_load 810 -> c\n"
                         "usleep 30000 -> 0\n";

TEST(RecordingReader, ReadsTypedEntriesAndExpandsRepeatsWithTheirLines)
{
    const RecRead got = rec_read_text(HEAD + TURN + "repeat 0000000002 01\nstderr -> 6 a  b%0A\nend 0 2.500000000\n");
    ASSERT_EQ(got.error, "");
    ASSERT_EQ(got.entries.size(), 5u + 11u + 2u);
    for (size_t i = 0; i < 16; ++i) {
        SCOPED_TRACE(i);
        const RecEntry& e = got.entries[i];
        EXPECT_EQ(e.kind, got.entries[i % 5].kind);
        EXPECT_EQ(e.line, i < 5 ? static_cast<int>(i) + 3 : 8);
        EXPECT_EQ(e.first_line, static_cast<int>(i % 5) + 3);
    }
    const RecEntry& ioctl = got.entries[6];
    EXPECT_EQ(ioctl.kind, REC_DEV_IOCTL);
    EXPECT_EQ(std::make_tuple(ioctl.fd, ioctl.request, ioctl.cmd, ioctl.len, ioctl.data_len, ioctl.got_len, ioctl.got[0]),
              std::make_tuple(3, 0xc00c4110ul, 3u, 18u, 17, 1, uint8_t {2}));
    EXPECT_EQ(ioctl.data[16], 0xB7);
    EXPECT_EQ(std::make_tuple(got.entries[3].offset, got.entries[3].value), std::make_tuple(0x810ul, 12u));
    EXPECT_EQ(std::string(got.entries[15].path), "/dev/remote_i2c");
    const RecEntry& err = got.entries[16];
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(err.data), static_cast<size_t>(err.data_len)), "a  b\n");
    EXPECT_EQ(std::make_tuple(got.entries[17].kind, got.entries[17].status, got.entries[17].nsec),
              std::make_tuple(REC_END, 0, int64_t {500000000}));

    static RecReader r;
    const std::string text = HEAD;
    ASSERT_EQ(rec_reader_open(&r, text.data(), text.size()), 0);
    EXPECT_EQ(std::string(r.header.program) + " " + r.header.version + " " + r.header.build, "VelmoX-AVMenu 1.3.0 abc-armhf");
    EXPECT_EQ(r.header.argc, 2);
    EXPECT_EQ(std::string(r.header.args, 6), std::string("-s\0a b", 6));
}

// Each damaged file is refused with the number of the line at fault.
TEST(RecordingReader, DamagedOrCutFilesAreRefusedWithTheirLineNumber)
{
    const std::string end = "end 0 2.000000000\n";
    const struct {
        std::string text;
        std::string error;
    } rows[] = {
        {"", "line 1: empty file: not a recording"},
        {"hello\n", "line 1: not a recording: it must start with 'velmox-recording'"},
        {"velmox-recording 2 program=X version=1\nargs\n", "line 1: recording format 2; this reader knows format 1"},
        {"velmox-recording 1 version=1\nargs\n", "line 1: the first line must name program= and version="},
        {"velmox-recording 1 program=X version=1 t0=1.5\nargs\n", "line 1: bad t0"},
        {"velmox-recording 1 program=X version=1\n", "line 2: no 'args' line"},
        {"velmox-recording 1 program=X version=1\ndev_close 3 -> 0\n", "line 2: the second line must be 'args'"},
        {"velmox-recording 1 program=X version=1\nargs " + std::string(100, 'a') + ' ' + std::string(100, 'b') + ' ' +
             std::string(53, 'c') + " d\n",
         "line 2: the arguments are too long"},  // the first three fill the 256 bytes, their NULs included
        {"velmox-recording 1 program=X version=1\nargs " + std::string(300, 'x') + "\n", "line 2: bad argument 1"},
        {HEAD + "frobnicate 1\n", "line 3: unknown entry 'frobnicate'"},
        {HEAD + "reg_store  18 6\n", "line 3: fields must be separated by single spaces"},
        {HEAD + "reg_store 18 6 \n", "line 3: fields must be separated by single spaces"},
        {HEAD + "dev_open /x 2 -> -1\n", "line 3: 'dev_open': a failed call without errno=N"},
        {HEAD + "dev_open /x 2 -> 3 errno=2\n", "line 3: 'dev_open': errno given for a call that did not fail"},
        {HEAD + "dev_open /x 2 3\n", "line 3: 'dev_open': needs '->' after its fields"},
        {HEAD + "dev_close 3 -> 0 x\n", "line 3: 'dev_close': 1 field too many"},
        {HEAD + "dev_ioctl 3 c00c4110 3 18 0100 -> 0 02\n", "line 3: 'dev_ioctl': 2 payload bytes for command 3 of length 18"},
        {HEAD + "dev_ioctl 3 c00c4110 3 18 01000000430000000100000001000000b7 -> 0 0203\n",
         "line 3: 'dev_ioctl': a read area of 2 bytes for length 18"},
        {HEAD + "dev_ioctl 3 c00c4110 3 18 01000000430000000100000001000000B7 -> 0 02\n", "line 3: 'dev_ioctl': bad SENT"},
        {HEAD + "reg_load 810 -> C\n", "line 3: 'reg_load': needs VALUE after '->'"},
        {HEAD + "reg_load 810 -> 100000000\n", "line 3: 'reg_load': needs VALUE after '->'"},
        {HEAD + "file_unlink /a%4 -> 0\n", "line 3: 'file_unlink': bad PATH '/a%4'"},
        {HEAD + "file_write 4 3 ab -> 3\n", "line 3: 'file_write': 2 bytes of data for a count of 3"},
        {HEAD + "file_read 4 3 -> 2 abc\n", "line 3: 'file_read': 3 bytes of data for a result of 2"},
        {HEAD + "clock -> 0\n", "line 3: 'clock': bad time (SEC.NSEC)"},
        {HEAD + "clock -> 0 1.5\n", "line 3: 'clock': bad time (SEC.NSEC)"},
        {HEAD + "service -2\n", "line 3: 'service': -2 needs errno=N"},
        {HEAD + "kill 99999999999 19 -> 0\n", "line 3: 'kill': bad PID '99999999999'"},
        {HEAD + "stderr ->\n", "line 3: 'stderr': needs RC after '->'"},
        {HEAD + "repeat 0000000001 00\n", "line 3: 'repeat' must follow a whole turn of at most 16 entries"},
        {HEAD + TURN + "reg_store 18 6\nrepeat 0000000001 00\n", "line 9: 'repeat' must follow a whole turn of at most 16 entries"},
        {HEAD + TURN + "repeat 0000000000 05\n", "line 8: 'repeat 0 5' for a turn of 5 entries"},
        {HEAD + TURN + "repeat 0000000000 00\n", "line 8: 'repeat 0 0' for a turn of 5 entries"},
        {HEAD + TURN + "repeat x 00\n", "line 8: 'repeat' needs TURNS ENTRIES"},
        {HEAD + end + "usleep 1 -> 0\n", "line 4: an entry after the end line"},
        {HEAD + "end 0\n", "line 3: 'end': needs SEC.NSEC"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(rec_read_text(row.text).error, row.error);
    }
}

// A turn longer than the recorder repeats cannot be repeated; a turn of
// exactly that length can.
TEST(RecordingReader, OnlyTurnsOfAtMost16EntriesRepeat)
{
    for (const int length : {REC_TURN_MAX, REC_TURN_MAX + 1}) {
        std::string text = HEAD;
        for (int i = 1; i < length; ++i)
            text += "reg_store 18 6\n";
        text += "usleep 1 -> 0\nrepeat 0000000001 00\n";
        const RecRead got = rec_read_text(text);
        if (length == REC_TURN_MAX)
            EXPECT_EQ(got.entries.size(), 2u * REC_TURN_MAX) << got.error;
        else
            EXPECT_EQ(got.error, "line 20: 'repeat' must follow a whole turn of at most 16 entries");
    }
}

}  // namespace
