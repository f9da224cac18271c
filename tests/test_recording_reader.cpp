// The recording reader: typed entries with repeats expanded, and one line
// naming the line number for each damaged or cut file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "recording/reader.h"
#include "recording_read.h"

namespace {

const std::string HEAD = "velmox-recording 1 program=VelmoX-AVMenu version=1.3.0 build=abc-armhf t0=1.000000000\nargs -s a%20b\n";
const std::string HEAD2 = "velmox-recording 2 program=VelmoX-AVMenu version=1.3.0 build=abc-armhf t0=1.000000000\nargs\n";
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
    // The next recording's header starts afresh: no build; an empty argument is "-".
    const std::string bare = "velmox-recording 1 program=X version=1\nargs - x\n";
    ASSERT_EQ(rec_reader_open(&r, bare.data(), bare.size()), 0);
    EXPECT_STREQ(r.header.build, "");
    EXPECT_EQ(r.header.argc, 2);
    EXPECT_EQ(std::string(r.header.args, 4), std::string("\0x\0", 3) + '\0');
}

// The entries of a repeated turn are copies of its own, bytes included.
TEST(RecordingReader, ARepeatedTurnKeepsEachEntrysBytes)
{
    const RecRead got = rec_read_text(HEAD + "dev_ioctl 3 c00c4110 3 18 01000000430000000100000001000000b7 -> 0 02\n"
                                             "dev_ioctl 3 c00c4110 3 18 01000000430000000100000001000000ad -> 0 01\n"
                                             "usleep 30000 -> 0\nrepeat 0000000001 00\n");
    ASSERT_EQ(got.error, "");
    ASSERT_EQ(got.entries.size(), 6u);
    for (size_t i : {3u, 4u}) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got.entries[i].data[16], i == 3 ? 0xB7 : 0xAD);
        EXPECT_EQ(got.entries[i].got[0], i == 3 ? 2 : 1);
    }
}

// A turn of one sleep alone repeats too.
TEST(RecordingReader, ATurnOfOneSleepRepeats)
{
    const RecRead got = rec_read_text(HEAD + "usleep 1 -> 0\nusleep 1 -> 0\nrepeat 0000000002 00\n");
    EXPECT_EQ(got.error, "");
    EXPECT_EQ(got.entries.size(), 4u);
}

// Format 2: a repeat's range stands for the readings of the data register
// in it, and for nothing else.
TEST(RecordingReader, ARangeStandsForTheDataReadingsOfItsRepeat)
{
    std::string head = HEAD;
    head.replace(head.find(" 1 "), 3, " 2 ");
    const std::string turn = "reg_store 18 6\nreg_load 18 -> 6\nreg_load 810 -> c\nusleep 30000 -> 0\n";
    const RecRead got = rec_read_text(head + turn + "repeat 0000000001 00 0000000a 0000000e\n");
    ASSERT_EQ(got.error, "");
    ASSERT_EQ(got.entries.size(), 8u);
    for (size_t i = 0; i < 8; ++i) {
        SCOPED_TRACE(i);
        const RecEntry& e = got.entries[i];
        const bool ranged = i == 6;
        EXPECT_EQ(e.low, ranged ? 0xAu : got.entries[i % 4].low);
        EXPECT_EQ(e.high, ranged ? 0xEu : got.entries[i % 4].high);
    }
    EXPECT_EQ(got.entries[2].low, 0xCu) << "a reading outside a repeat stands for itself";
}

// Each damaged file is refused with the number of the line at fault.
TEST(RecordingReader, DamagedOrCutFilesAreRefusedWithTheirLineNumber)
{
    const std::string end = "end 0 2.000000000\n";
    const std::string named = "velmox-recording 1 program=X version=1";
    const auto padded = [&](size_t n) { return named + " pad=" + std::string(n - named.size() - 5, 'p') + "\nargs\n"; };
    std::string fields = named;  // 4 fields, and 12 more
    for (int i = 0; i < 12; ++i)
        fields += " k=v";
    const struct {
        std::string text;
        std::string error;
    } rows[] = {
        {"", "line 1: empty file: not a recording"},
        // The header's limits: a line's 2048 bytes, 16 fields, 63 bytes of name.
        {padded(2048), ""},
        {padded(2049), "line 1: longer than 2048 bytes"},
        {fields + "\nargs\n", ""},
        {fields + " k=v\nargs\n", "line 1: not a recording: it must start with 'velmox-recording'"},
        {"velmox-recording 1  program=X version=1\nargs\n", "line 1: not a recording: it must start with 'velmox-recording'"},
        {"velmox-recording 1 program=" + std::string(63, 'P') + " version=1\nargs\n", ""},
        {"velmox-recording 1 program=" + std::string(64, 'P') + " version=1\nargs\n", "line 1: bad program"},
        {"velmox-recording 1 program= version=1\nargs\n", "line 1: bad program"},
        {"hello\n", "line 1: not a recording: it must start with 'velmox-recording'"},
        {"velmox-recording\nargs\n", "line 1: not a recording: it must start with 'velmox-recording'"},
        {"velmox-recording 1\nargs\n", "line 1: the first line must name program= and version="},
        {"velmox-recording 3 program=X version=1\nargs\n", "line 1: recording format 3; this reader knows formats 1 to 2"},
        {"velmox-recording 0 program=X version=1\nargs\n", "line 1: recording format 0; this reader knows formats 1 to 2"},
        {"velmox-recording 1 version=1\nargs\n", "line 1: the first line must name program= and version="},
        {"velmox-recording 1 program=X\nargs\n", "line 1: the first line must name program= and version="},
        {"velmox-recording x\nargs\n", "line 1: bad format version 'x'"},
        {"velmox-recording 2147483647 program=X version=1\nargs\n",
         "line 1: recording format 2147483647; this reader knows formats 1 to 2"},
        {"velmox-recording " + std::string(25, '9') + "\nargs\n", "line 1: bad format version '" + std::string(20, '9') + "'"},
        {"velmox-recording " + std::string(21, '9') + "\nargs\n", "line 1: bad format version '" + std::string(20, '9') + "'"},
        {"velmox-recording 1 program=X version=1 " + std::string(41, 'k') + "\nargs\n",
         "line 1: '" + std::string(40, 'k') + "' is not key=value"},
        {HEAD + std::string(41, 'x') + " 1\n", "line 3: unknown entry '" + std::string(40, 'x') + "'"},
        {HEAD2 + TURN + "repeat 0000000001 00 0000000000e 0000000a\n", "line 8: 'repeat': bad range '0000000000 0000000a'"},
        {HEAD2 + TURN + "repeat 0000000001 00 0000000e 0000000000a\n", "line 8: 'repeat': bad range '0000000e 0000000000'"},
        {"velmox-recording 1 program=X version=1 k\nargs\n", "line 1: 'k' is not key=value"},
        {"velmox-recording 1 program=X version=1 " + std::string(45, 'k') + "\nargs\n",
         "line 1: '" + std::string(40, 'k') + "' is not key=value"},
        {"velmox-recording 1 program=X version=1 t0=1.5\nargs\n", "line 1: bad t0"},
        {"velmox-recording 1 program=X version=1\n", "line 2: no 'args' line"},
        {"velmox-recording 1 program=X version=1\ndev_close 3 -> 0\n", "line 2: the second line must be 'args'"},
        {"velmox-recording 1 program=X version=1\nargs " + std::string(100, 'a') + ' ' + std::string(100, 'b') + ' ' +
             std::string(53, 'c') + " d\n",
         "line 2: the arguments are too long"},  // the first three fill the 256 bytes, their NULs included
        {"velmox-recording 1 program=X version=1\nargs " + std::string(300, 'x') + "\n", "line 2: bad argument 1"},
        {"velmox-recording 1 program=X version=1\nargs " + std::string(100, 'a') + ' ' + std::string(100, 'b') + ' ' +
             std::string(52, 'c') + " d\n",
         "line 2: the arguments are too long"},  // one byte left: not even for "d" and its NUL
        {"velmox-recording 1 program=X version=1\nargs " + std::string(100, 'a') + ' ' + std::string(100, 'b') + ' ' +
             std::string(51, 'c') + " d\n",
         ""},
        {"velmox-recording 1 program=X version=1\nargs " + std::string(100, 'a') + ' ' + std::string(100, 'b') + ' ' +
             std::string(60, 'c') + "\n",
         "line 2: bad argument 3"},
        {"velmox-recording 1 program=X version=1\nargs a%00b\n", "line 2: bad argument 1"},
        {"velmox-recording 1 program=X version=1\nargs " + std::string(100, 'a') + ' ' + std::string(100, 'b') + ' ' +
             std::string(54, 'c') + "\n",
         "line 2: bad argument 3"},  // one byte short of room
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
        {HEAD + "file_unlink /" + std::string(38, 'a') + "%4 -> 0\n",
         "line 3: 'file_unlink': bad PATH '/" + std::string(38, 'a') + "%'"},  // 41 bytes, 40 shown
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
        {HEAD + TURN + "repeat 0000000001 00 0000000a 0000000e\n", "line 8: 'repeat' needs TURNS ENTRIES"},
        {HEAD2 + TURN + "repeat 0000000001 00 0000000a\n", "line 8: 'repeat' needs TURNS ENTRIES [LOW HIGH]"},
        {HEAD2 + TURN + "repeat 0000000001 00 0000000e 0000000a\n", "line 8: 'repeat': bad range '0000000e 0000000a'"},
        {HEAD2 + TURN + "repeat 0000000001 00 0000000000e 0000000000a\n",
         "line 8: 'repeat': bad range '0000000000 0000000000'"},
        {HEAD + std::string(45, 'x') + " 1\n", "line 3: unknown entry '" + std::string(40, 'x') + "'"},
        // Fields at their limits, and one past: numbers, hex digits, escapes, errno, status, time.
        {HEAD + "dev_ioctl 3 c00c4110 3 18 01000000430000000100000001000000b -> 0 02\n", "line 3: 'dev_ioctl': bad SENT"},
        {HEAD + "dev_ioctl 3 c00c4110 2 15 020000005b0000000300000008%0a91 -> 0\n", "line 3: 'dev_ioctl': bad SENT"},
        {HEAD + "reg_load 81A -> c\n", "line 3: 'reg_load': bad OFFSET '81A'"},
        {HEAD + "reg_load 81F -> c\n", "line 3: 'reg_load': bad OFFSET '81F'"},
        {HEAD + "reg_store 18 af\n", ""},
        {HEAD + "reg_store 9f0 0\n", ""},
        {HEAD + "dev_open /x 100000000 -> 3\n", "line 3: 'dev_open': bad FLAGS '100000000'"},
        {HEAD + "dev_open /x 2 -> -1 errno=0\n", "line 3: 'dev_open': bad errno 'errno=0'"},
        {HEAD + "dev_open /x 2 -> -1 errno=2147483648\n", "line 3: 'dev_open': bad errno 'errno=2147483648'"},
        {HEAD + "dev_open /x 2 -> -1 errno=2147483647\n", ""},
        {HEAD + "waitpid 5 0 -> 5 status=\n", "line 3: 'waitpid': bad status"},
        {HEAD + "waitpid 5 0 -> 5 status=100000000\n", "line 3: 'waitpid': bad status"},
        {HEAD + "waitpid 5 0 -> 5 status=ffffffff\n", ""},
        {HEAD + "waitpid 5 0 -> 0 status=1\n", "line 3: 'waitpid': bad status"},
        {HEAD + "service -3\n", "line 3: 'service': bad PID -3"},
        {HEAD + "service -2 errno=0\n", "line 3: 'service': -2 needs errno=N"},
        {HEAD + "service -2 errno=2147483648\n", "line 3: 'service': -2 needs errno=N"},
        {HEAD + "service -2 errno=\n", "line 3: 'service': -2 needs errno=N"},
        {HEAD + "clock -> 0 9223372036854775808.000000000\n", "line 3: 'clock': bad time (SEC.NSEC)"},
        {HEAD + "clock -> 0 9223372036854775807.000000000\n", ""},
        {HEAD + "clock -> 0 1.1234567890\n", "line 3: 'clock': bad time (SEC.NSEC)"},
        {HEAD + "usleep 99999999999999999999999 -> 0\n", "line 3: 'usleep': bad USEC '99999999999999999999999'"},
        {HEAD + "usleep 9999999999999999999 -> 0\n", "line 3: 'usleep': bad USEC '9999999999999999999'"},
        {HEAD + "file_unlink /a%00b -> 0\n", "line 3: 'file_unlink': bad PATH '/a%00b'"},
        {HEAD + "file_unlink /a%G0 -> 0\n", "line 3: 'file_unlink': bad PATH '/a%G0'"},
        {HEAD + "file_unlink /a%0G -> 0\n", "line 3: 'file_unlink': bad PATH '/a%0G'"},
        {HEAD + "file_unlink /a%0a -> 0\n", ""},
        {HEAD + "stderr -> 3 a%0\n", "line 3: 'stderr': bad TEXT"},
        {HEAD + "stderr -> 1 %20\n", ""},
        {HEAD + "kill 2147483647 19 -> 0\n", ""},
        {HEAD + "kill -2147483648 19 -> 0\n", ""},
        {HEAD + "kill -2147483649 19 -> 0\n", "line 3: 'kill': bad PID '-2147483649'"},
        {HEAD + "dev_close 3 -> 0 errno=2\n", "line 3: 'dev_close': errno given for a call that did not fail"},
        {HEAD + "file_read 4 3 -> 3 a~b\n", ""},
        // Digits, escapes and raw bytes just outside what a field takes.
        {HEAD + "reg_store 18 /\n", "line 3: 'reg_store': bad VALUE '/'"},
        {HEAD + "reg_store 18 :\n", "line 3: 'reg_store': bad VALUE ':'"},
        {HEAD + "reg_store 18 `\n", "line 3: 'reg_store': bad VALUE '`'"},
        {HEAD + "reg_store 18 g\n", "line 3: 'reg_store': bad VALUE 'g'"},
        {HEAD + "usleep a -> 0\n", "line 3: 'usleep': bad USEC 'a'"},
        {HEAD + "file_unlink /a%@0 -> 0\n", "line 3: 'file_unlink': bad PATH '/a%@0'"},
        {HEAD + "dev_ioctl 3 c00c4110 3 18 01000000430000000100000001000000A7 -> 0 02\n", "line 3: 'dev_ioctl': bad SENT"},
        {HEAD + "dev_ioctl 3 c00c4110 3 18 01000000430000000100000001000000F7 -> 0 02\n", "line 3: 'dev_ioctl': bad SENT"},
        {HEAD + "dev_ioctl 3 c00c4110 3 18 01000000430000000100000001000000b7 -> 0 0F\n", "line 3: 'dev_ioctl': bad read area"},
        {HEAD + "file_unlink /a\x1F" "b -> 0\n", "line 3: 'file_unlink': bad PATH '/a\x1F" "b'"},
        {HEAD + "file_unlink /a\x7F" "b -> 0\n", "line 3: 'file_unlink': bad PATH '/a\x7F" "b'"},
        {HEAD + "file_unlink /a\x80" "b -> 0\n", "line 3: 'file_unlink': bad PATH '/a\x80" "b'"},
        {HEAD + "dev_open /x 2 -> -1 errno=123456789012345678901\n", "line 3: 'dev_open': bad errno 'errno=12345678901234'"},
        {HEAD + "dev_open /x 2 -> -1 errno=123456789012345\n", "line 3: 'dev_open': bad errno 'errno=12345678901234'"},
        // Numbers at the edge of their slot's range, hex bytes one past their room, a
        // transport command's and length's digits, "errno=" and "status=" nearly so.
        {HEAD + "usleep 9223372036854775807 -> 0\n", ""},
        {HEAD + "usleep 9223372036854775808 -> 0\n", "line 3: 'usleep': bad USEC '9223372036854775808'"},
        {HEAD + "dev_ioctl 3 c00c4110 7 90 " + std::string(162, 'a') + " -> 0\n", "line 3: 'dev_ioctl': bad SENT"},
        {HEAD + "dev_ioctl 3 c00c4110 9 9 010203040506070809 -> 0\n", ""},
        {HEAD + "dev_ioctl 3 c00c4110 a 2 0102 -> 0\n", "line 3: 'dev_ioctl': bad CMD or LEN"},
        {HEAD + "dev_ioctl 3 c00c4110 7 1a 0102 -> 0\n", "line 3: 'dev_ioctl': bad CMD or LEN"},
        {HEAD + "dev_ioctl 3 c00c4110 4294967295 4294967295 " + std::string(160, 'b') + " -> 0\n", ""},
        {HEAD + "dev_ioctl 3 c00c4110 4294967296 2 0102 -> 0\n", "line 3: 'dev_ioctl': bad CMD or LEN"},
        {HEAD + "dev_ioctl 3 c00c4110 7 4294967296 0102 -> 0\n", "line 3: 'dev_ioctl': bad CMD or LEN"},
        {HEAD + "dev_ioctl 3 c00c4110 1 0 - -> 0\n", ""},
        {HEAD + "file_read 4 1 -> 1 -\n", "line 3: 'file_read': 0 bytes of data for a result of 1"},
        {HEAD + "waitpid 5 0 -> 5 x\n", "line 3: 'waitpid': 1 field too many"},
        {HEAD + "waitpid 5 0 -> 5 abcdefgh\n", "line 3: 'waitpid': 1 field too many"},
        {HEAD + "waitpid 1 0 -> 1 status=0\n", ""},
        {HEAD + "waitpid 5 0 -> 5 status:0\n", "line 3: 'waitpid': 1 field too many"},
        {HEAD + "dev_ioctl 3 c00c4110 7 2 A102 -> 0\n", "line 3: 'dev_ioctl': bad SENT"},
        {HEAD + "service -2 errno:5\n", "line 3: 'service': -2 needs errno=N"},
        {HEAD + "service -2 errno=1\n", ""},
        {HEAD + "service -2 errno=2147483647\n", ""},
        {HEAD + "dev_open /x 2 -> -1 errno=\n", "line 3: 'dev_open': a failed call without errno=N"},
        {HEAD + "dev_open /x 2 -> -1 errno:2\n", "line 3: 'dev_open': a failed call without errno=N"},
        {HEAD + "stderr -> 0 errno=5\n", ""},
        {HEAD + "dev_mmap 5 1000 7fffffffffffffff -> 0\n", ""},
        {HEAD + "dev_mmap 5 1000 8000000000000000 -> 0\n", "line 3: 'dev_mmap': bad OFFSET '8000000000000000'"},
        {HEAD + "file_open /x 0 37777777777 -> 3\n", ""},
        {HEAD + "file_open /x 0 40000000000 -> 3\n", "line 3: 'file_open': bad MODE '40000000000'"},
        {HEAD + end + "usleep 1 -> 0\n", "line 4: an entry after the end line"},
        {HEAD + "end 0\n", "line 3: 'end': needs SEC.NSEC"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        const RecRead got = rec_read_text(row.text);
        EXPECT_EQ(got.error, row.error);
        if (row.error.rfind("line 3: ", 0) == 0) {
            EXPECT_TRUE(got.entries.empty()) << "no entry from a damaged line";
        }
    }
    // From a file: one that is not there, an empty one.
    static RecReader r;
    EXPECT_EQ(rec_reader_open_file(&r, "/nonexistent/recording.txt"), -1);
    EXPECT_STREQ(r.error, "cannot open");
    char empty[] = "/tmp/reader-empty-XXXXXX";
    const int fd = mkstemp(empty);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(rec_reader_open_file(&r, empty), -1);
    EXPECT_STREQ(r.error, "line 1: empty file: not a recording");
    std::ofstream(empty) << "v";
    EXPECT_EQ(rec_reader_open_file(&r, empty), -1);
    EXPECT_STREQ(r.error, "line 1: its first line is cut short: not a recording");
    unlink(empty);
    char folder[] = "/tmp/reader-folder-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const int next_fd = dup(0);  // the lowest free descriptor, before
    close(next_fd);
    EXPECT_EQ(rec_reader_open_file(&r, folder), -1);
    EXPECT_STREQ(r.error, "cannot read");
    const int after = dup(0);
    close(after);
    EXPECT_EQ(after, next_fd) << "the reader's descriptor is closed";
    rmdir(folder);
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

// ---- the end of a recording: its last whole line --------------------------

std::string real_recording()
{
    std::ifstream in(RECORDING_RIGHT_TAP, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The lines of `text` up to and including line n, and their entries.
size_t entries_up_to_line(const std::string& text, int n)
{
    size_t at = 0;
    for (int i = 0; i < n; ++i)
        at = text.find('\n', at) + 1;
    return rec_read_text(text.substr(0, at)).entries.size();
}

struct CutRead {
    RecRead read;
    int cut_line;
    std::string cut;
};

CutRead read_cut(const std::string& text)
{
    CutRead out {rec_read_text(text), 0, ""};
    static RecReader r;
    if (rec_reader_open(&r, text.data(), text.size()) == 0) {
        RecEntry e;
        while (rec_reader_next(&r, &e) > 0) {
        }
        out.cut_line = r.cut_line;
        out.cut = r.cut;
    }
    return out;
}

// A power cut leaves a last line without its newline, or the card's
// reserved space as NUL bytes, or both: the recording reads to the line
// before, and says where it was cut.
TEST(RecordingReader, ARecordingEndsAtItsLastWholeLine)
{
    const std::string whole = real_recording();
    const int lines = static_cast<int>(std::count(whole.begin(), whole.end(), '\n'));
    const size_t repeat_at = whole.find("repeat 0000000001 04");  // a repeat line in the middle
    ASSERT_NE(repeat_at, std::string::npos);
    const int repeat_line = static_cast<int>(std::count(whole.begin(), whole.begin() + static_cast<long>(repeat_at), '\n')) + 1;
    const auto cut_at = [](int line) {
        return "cut at line " + std::to_string(line) + ": the goggles lost power or the card was pulled; what came after is lost";
    };
    const auto reserve_at = [](int line) {
        return "cut at line " + std::to_string(line) +
               ": the rest is space kept on the card for entries never written (the program was killed, or the goggles "
               "lost power)";
    };
    const size_t last_start = whole.rfind('\n', whole.size() - 2) + 1;
    const size_t before_last = entries_up_to_line(whole, lines - 1);
    const std::string page(4096, '\0');
    const std::string lost = cut_at(lines), unwritten = reserve_at(lines + 1);
    // Every cut inside the last line, with and without the reserve after it.
    for (size_t end = last_start + 1; end < whole.size(); ++end) {
        for (const std::string& tail : {std::string(), page}) {
            SCOPED_TRACE("cut at byte " + std::to_string(end) + (tail.empty() ? "" : ", then a page of NUL"));
            const CutRead got = read_cut(whole.substr(0, end) + tail);
            EXPECT_EQ(got.read.error, "");
            EXPECT_EQ(got.read.entries.size(), before_last);
            EXPECT_EQ(got.cut, lost);
        }
    }
    const size_t all = rec_read_text(whole).entries.size();
    const struct {
        const char* what;
        std::string text;
        size_t entries;
        int cut_line;
        std::string cut;
    } rows[] = {
        {"whole", whole, all, 0, ""},
        {"one NUL after the last line", whole + std::string(1, '\0'), all, lines + 1, unwritten},
        {"a page of NUL after the last line", whole + page, all, lines + 1, unwritten},
        {"cut at the start of the last line", whole.substr(0, last_start), before_last, 0, ""},
        {"cut inside a repeat line: its repeats are lost", whole.substr(0, repeat_at + 10) + page,
         entries_up_to_line(whole, repeat_line - 1), repeat_line, cut_at(repeat_line)},
        {"written lines after a page that never reached the card",
         whole.substr(0, last_start) + page + whole.substr(last_start), before_last, lines, reserve_at(lines)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const CutRead got = read_cut(row.text);
        EXPECT_EQ(got.read.error, "");
        EXPECT_EQ(got.read.entries.size(), row.entries);
        EXPECT_EQ(got.cut_line, row.cut_line);
        EXPECT_EQ(got.cut, row.cut);
    }
    // Damage before the cut is refused at its line all the same.
    std::string damaged = whole.substr(0, last_start + 5) + page;
    damaged.replace(damaged.find("reg_store 800 6"), 15, "reg_store 800 X");
    const size_t damage_at = whole.find("reg_store 800 6");
    EXPECT_EQ(read_cut(damaged).read.error,
              "line " + std::to_string(std::count(whole.begin(), whole.begin() + static_cast<long>(damage_at), '\n') + 1) +
                  ": 'reg_store': bad VALUE 'X'");
    // A header cut short is not a recording.
    EXPECT_EQ(rec_read_text(whole.substr(0, 20)).error, "line 1: its first line is cut short: not a recording");
    EXPECT_EQ(rec_read_text(page).error, "line 1: its first line is cut short: not a recording");
}

// Every kind written by the table and read back by it, with the values at
// its edges: a failed call and its errno, empty and lone-dash fields, '%'
// and spaces, the most data kept.
TEST(RecordingReader, EveryKindReadsBackAsItWasWritten)
{
    std::string full_text(REC_MAX_DATA, 'x');
    for (size_t i = 0; i < full_text.size(); ++i)
        full_text[i] = static_cast<char>(i);  // every byte value from 0 to 255
    const std::string path_max(REC_MAX_PATH - 1, '%');
    const struct {
        RecKind kind;
        int64_t result;
        int err;
        void (*fill)(RecEntry&);
        std::string data;
    } rows[] = {
        {REC_DEV_OPEN, 3, 0, [](RecEntry& e) { std::strcpy(e.path, "/dev/remote_i2c"); e.flags = 0x802; }, ""},
        {REC_DEV_OPEN, -1, 2, [](RecEntry& e) { std::strcpy(e.path, "-"); e.flags = 0; }, ""},
        {REC_DEV_OPEN, -1, 13, [](RecEntry& e) { std::strcpy(e.path, "a b%c"); e.flags = 0xffffffff; }, ""},
        {REC_DEV_IOCTL, -1, 25, [](RecEntry& e) { e.fd = 3; e.request = 0x541b; }, ""},
        {REC_DEV_IOCTL, 0, 0, [](RecEntry& e) {
             e.fd = 3; e.request = RI2C_IOCTL; e.cmd = RI2C_CMD_WRITE_READ; e.len = 16 + 2 + RI2C_MAX_DATA;
             const uint8_t head[] = {2, 0, 0, 0, 0x5b, 0, 0, 0, 2, 0, 0, 0, RI2C_MAX_DATA, 0, 0, 0, 0x1e, 0x0a};
             std::memcpy(e.data, head, sizeof head); e.data_len = sizeof head;
             e.got_len = RI2C_MAX_DATA; std::memset(e.got, 0xa5, RI2C_MAX_DATA); }, ""},
        {REC_DEV_IOCTL, -1, 5, [](RecEntry& e) {
             e.fd = 3; e.request = RI2C_IOCTL; e.cmd = RI2C_CMD_SELECT; e.len = 16;
             std::memset(e.data, 0, 16); e.data[0] = 2; e.data[8] = 0x5b; e.data_len = 16; }, ""},
        {REC_DEV_IOCTL, 0, 0, [](RecEntry& e) {
             e.fd = 3; e.request = RI2C_IOCTL; e.cmd = RI2C_CMD_READ; e.len = 12;
             std::memset(e.data, 0, 12); e.data_len = 12; e.got_len = 0; }, ""},
        {REC_DEV_MMAP, 0, 0, [](RecEntry& e) { e.fd = 4; e.length = 0x1000; e.offset = 0xffffffffffull; }, ""},
        {REC_DEV_MMAP, -1, 22, [](RecEntry& e) { e.fd = -1; e.length = 0; e.offset = 0; }, ""},
        {REC_DEV_CLOSE, -1, 9, [](RecEntry& e) { e.fd = 999; }, ""},
        {REC_REG_LOAD, 0xffffffff, 0, [](RecEntry& e) { e.offset = 0x810; e.value = 0xffffffff; }, ""},
        {REC_REG_STORE, 0, 0, [](RecEntry& e) { e.offset = 0; e.value = 0; }, ""},
        {REC_FILE_OPEN, 4, 0, [](RecEntry& e) { std::strcpy(e.path, "/record/a b/settings.tmp"); e.flags = 0x241; e.mode = 0666; }, ""},
        {REC_FILE_READ, REC_MAX_DATA + 100, 0, [](RecEntry& e) { e.fd = 4; e.count = 4096; }, "full"},
        {REC_FILE_READ, 0, 0, [](RecEntry& e) { e.fd = 4; e.count = 64; }, ""},
        {REC_FILE_READ, 1, 0, [](RecEntry& e) { e.fd = 4; e.count = 1; }, "-"},
        {REC_FILE_WRITE, 1, 0, [](RecEntry& e) { e.fd = 5; e.count = 1; }, "%"},
        {REC_FILE_WRITE, -1, 28, [](RecEntry& e) { e.fd = 5; e.count = 0; }, ""},
        {REC_FILE_WRITE, 12, 0, [](RecEntry& e) { e.fd = 5; e.count = 12; }, "55 50 50 50\n"},
        {REC_FILE_FSYNC, -1, 5, [](RecEntry& e) { e.fd = 5; }, ""},
        {REC_FILE_CLOSE, 0, 0, [](RecEntry& e) { e.fd = 0; }, ""},
        {REC_FILE_RENAME, 0, 0, [](RecEntry& e) { std::strcpy(e.path, "/a/settings.tmp"); std::strcpy(e.path2, "/a/settings"); }, ""},
        {REC_FILE_UNLINK, -1, 2, [](RecEntry& e) { e.path[0] = '\0'; }, ""},
        {REC_FILE_UNLINK, 0, 0, [](RecEntry& e) { std::memset(e.path, '%', REC_MAX_PATH - 1); e.path[REC_MAX_PATH - 1] = '\0'; }, ""},
        {REC_CLOCK, 0, 0, [](RecEntry& e) { e.sec = 4294967296; e.nsec = 999999999; }, ""},
        {REC_CLOCK, -1, 22, [](RecEntry&) {}, ""},
        {REC_USLEEP, 0, 0, [](RecEntry& e) { e.count = 30000; }, ""},
        {REC_USLEEP, -1, 4, [](RecEntry& e) { e.count = 0; }, ""},
        {REC_SLEEP, 4294967295, 0, [](RecEntry& e) { e.count = 4294967295; }, ""},
        {REC_KILL, 0, 0, [](RecEntry& e) { e.pid = 912; e.sig = 19; }, ""},
        {REC_KILL, -1, 3, [](RecEntry& e) { e.pid = -2147483647 - 1; e.sig = 0; }, ""},
        {REC_FORK, 2147483647, 0, [](RecEntry&) {}, ""},
        {REC_FORK, -1, 11, [](RecEntry&) {}, ""},
        {REC_WAITPID, 77, 0, [](RecEntry& e) { e.pid = 77; e.options = 1; e.has_status = true; e.status = 0x300; }, ""},
        {REC_WAITPID, 0, 0, [](RecEntry& e) { e.pid = 77; e.options = 1; }, ""},
        {REC_WAITPID, 1, 0, [](RecEntry& e) { e.pid = 1; e.has_status = true; e.status = 0; }, ""},
        {REC_WAITPID, 5, 0, [](RecEntry& e) { e.pid = 5; }, ""},
        {REC_WAITPID, -1, 10, [](RecEntry& e) { e.pid = -1; e.options = 0; }, ""},
        {REC_SERVICE, 912, 0, [](RecEntry& e) { e.pid = 912; }, ""},
        {REC_SERVICE, -1, 0, [](RecEntry& e) { e.pid = -1; }, ""},
        {REC_SERVICE, -2, 13, [](RecEntry& e) { e.pid = -2; }, ""},
        {REC_STDERR, 3, 0, [](RecEntry&) {}, " - "},
        {REC_STDERR, 0, 0, [](RecEntry&) {}, ""},
        {REC_STDERR, -1, 32, [](RecEntry&) {}, "errno=5 a  b%0A\n"},
        {REC_STDERR, REC_MAX_DATA, 0, [](RecEntry&) {}, "full"},
        {REC_END, 255, 0, [](RecEntry& e) { e.status = 255; e.sec = 0; e.nsec = 0; }, ""},
    };
    bool kinds[REC_KIND_COUNT] = {};
    for (const auto& row : rows) {
        RecEntry want;
        rec_entry_clear(&want, row.kind);
        want.result = row.result;
        want.err = row.err;
        row.fill(want);
        // What the reader derives: an open's descriptor is its result, standard error is 2.
        if (row.kind == REC_DEV_OPEN || row.kind == REC_FILE_OPEN)
            want.fd = static_cast<int>(row.result);
        if (row.kind == REC_STDERR)
            want.fd = 2;
        const std::string data = row.data == "full" ? full_text : row.data;
        if (want.kind != REC_DEV_IOCTL) {
            std::memcpy(want.data, data.data(), data.size());
            want.data_len = static_cast<int>(data.size());
        }
        char line[REC_MAX_LINE];
        const std::string text(line, rec_entry_format(want, line));
        SCOPED_TRACE(text);
        RecEntry got;
        char why[160] = "";
        ASSERT_EQ(rec_entry_parse(text.data(), text.data() + text.size(), row.kind, &got, why, sizeof why), 0) << why;
        char again[REC_MAX_LINE];
        EXPECT_EQ(std::string(again, rec_entry_format(got, again)), text);
        EXPECT_EQ(std::make_tuple(got.result, got.err, got.fd, got.flags, got.mode, got.request, got.cmd, got.len),
                  std::make_tuple(want.result, want.err, want.fd, want.flags, want.mode, want.request, want.cmd, want.len));
        EXPECT_EQ(std::make_tuple(got.length, got.offset, got.value, got.count, got.pid, got.sig, got.options),
                  std::make_tuple(want.length, want.offset, want.value, want.count, want.pid, want.sig, want.options));
        EXPECT_EQ(std::make_tuple(got.has_status, got.status, got.sec, got.nsec),
                  std::make_tuple(want.has_status, want.status, want.sec, want.nsec));
        EXPECT_EQ(std::string(got.path) + "|" + got.path2, std::string(want.path) + "|" + want.path2);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(got.data), static_cast<size_t>(got.data_len)),
                  std::string(reinterpret_cast<char*>(want.data), static_cast<size_t>(want.data_len)));
        EXPECT_EQ(std::string(reinterpret_cast<char*>(got.got), static_cast<size_t>(std::max(got.got_len, 0))),
                  std::string(reinterpret_cast<char*>(want.got), static_cast<size_t>(std::max(want.got_len, 0))));
        kinds[row.kind] = true;
    }
    for (int k = 0; k < REC_KIND_COUNT; ++k)
        EXPECT_TRUE(kinds[k]) << "no row for " << rec_kind_name(static_cast<RecKind>(k));
}

// An escaped field is read within its length, whatever lies past it.
TEST(RecordingReader, FieldsAreReadWithinTheirLength)
{
    const struct {
        const char* text;
        size_t len;
        bool spaces;
        int bytes;  // -1: refused
    } rows[] = {
        {"a%41", 4, false, 2}, {"a%41", 3, false, -1}, {"a%41", 2, false, -1}, {"a b", 3, false, -1},
        {"a b", 3, true, 3},   {"-", 1, false, 0},     {"-", 1, true, 1},      {"--", 2, false, 2},
        {"a\tb", 3, true, -1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.text, row.len));
        uint8_t out[8];
        EXPECT_EQ(rec_unescape(row.text, row.len, out, sizeof out, row.spaces), row.bytes);
    }
    // So is a line: "status=" cut after "status" is no status.
    const std::string line = "waitpid 5 0 -> 5 status=0";
    RecEntry e;
    char why[128] = "";
    EXPECT_EQ(rec_entry_parse(line.data(), line.data() + line.size() - 2, REC_WAITPID, &e, why, sizeof why), -1);
    EXPECT_STREQ(why, "'waitpid': 1 field too many");
}

// The document's table of kinds is the code's: a kind added, renamed or
// changed in REC_KINDS fails here until docs/RECORDING.md says the same.
std::string doc_line(const RecKindRow& row)
{
    std::string line = row.name;
    for (int i = 0; i < row.n_fields; ++i) {
        const RecField& f = row.fields[i];
        const char* suffix = f.fmt == FMT_HEX ? "(hex)" : f.fmt == FMT_OCT ? "(octal)" : "";
        line += f.fmt == FMT_PAYLOAD ? std::string(" [") + f.name + "(hex)]" : std::string(" ") + f.name + suffix;
    }
    if (row.result != RES_NONE)
        line += std::string(" -> ") + row.result_name + (row.result == RES_HEX ? "(hex)" : "");
    switch (row.tail) {
    case TAIL_NONE: break;
    case TAIL_DATA: line += " [DATA]"; break;
    case TAIL_TIME: line += " [SEC.NSEC]"; break;
    case TAIL_READ_AREA: line += " [GOT(hex)]"; break;
    case TAIL_STATUS: line += " [status=HEX]"; break;
    case TAIL_TEXT: line += " TEXT"; break;
    }
    return "| `" + line + "` | " + row.call + " | " + (row.can_fail ? "yes" : "no") + " | " +
           (row.repeats ? "yes" : "no") + " |";
}

TEST(RecordingReader, TheDocumentsTableOfKindsIsTheCodes)
{
    std::ifstream in(RECORDING_DOC);
    std::string doc, l;
    bool inside = false;
    while (std::getline(in, l)) {
        if (l.rfind("<!-- kinds:", 0) == 0) {
            inside = l != "<!-- kinds: end -->";
            continue;
        }
        if (inside && l.rfind("| `", 0) == 0)
            doc += l + "\n";
    }
    std::string code;
    for (const RecKindRow& row : REC_KINDS)
        code += doc_line(row) + "\n";
    EXPECT_EQ(doc, code) << "docs/RECORDING.md's table of kinds, as the code has it:\n" << code;
}

}  // namespace
