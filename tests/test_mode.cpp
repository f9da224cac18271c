// The input-mode probe of the LT8668 and the switch to AV by long BACK
// presses sent to the stock service's key port (a real UDP socket here).
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "support.h"
#include "video/mode.h"

namespace {

class Mode : public TransportGoggles {
protected:
    void TearDown() override { vg_key_port_close(); TransportGoggles::TearDown(); }
    std::string err;  // what the last call logged
    int read_mode() { return logged([&] { return mode_read(fd); }); }
    int switch_to_av(int tries) { return logged([&] { return mode_switch_to_av(fd, tries); }); }
    int logged(const std::function<int()>& f) { int ret = -1; err = capture_stderr([&] { ret = f(); }); return ret; }
};

TEST_F(Mode, ProbeReadsTheThreeRegistersAndClassifies)
{
    ASSERT_EQ(read_mode(), MODE_AV);
    // Select the chip and its bank 0xE0, then read B7, AD, AC.
    ASSERT_EQ(sent(), 5u);
    EXPECT_EQ(payload_hex(*vg_i2c_message(0)), "len=16 01 00 00 00 00 00 00 00 43 00 00 00 00 00 00 00");
    EXPECT_EQ(payload_hex(*vg_i2c_message(1)), "len=14 01 00 00 00 43 00 00 00 02 00 00 00 ff e0");
    static const struct { uint8_t b7, ad, ac; int mode; const char* line; } CASES[] = {
        {0x02, 0x02, 0x00, MODE_HDMI, "mode: LT8668 B7=0x02 AD=0x02 AC=0x00\n"},
        {0x02, 0x00, 0x01, MODE_HDMI, "mode: LT8668 B7=0x02 AD=0x00 AC=0x01\n"},
        // Only the exact bytes of AV are AV: no other value of AD or AC, nor a bit of one.
        {0x02, 0x03, 0x01, MODE_HDMI, "mode: LT8668 B7=0x02 AD=0x03 AC=0x01\n"},
        {0x02, 0x01, 0x01, MODE_HDMI, "mode: LT8668 B7=0x02 AD=0x01 AC=0x01\n"},
        {0x02, 0x02, 0x03, MODE_HDMI, "mode: LT8668 B7=0x02 AD=0x02 AC=0x03\n"},
        {0x02, 0x02, 0x02, MODE_HDMI, "mode: LT8668 B7=0x02 AD=0x02 AC=0x02\n"},
        {0x01, 0x02, 0x01, MODE_NORMAL, "mode: LT8668 B7=0x01 AD=0x02 AC=0x01\n"},
        {0x03, 0x02, 0x01, MODE_UNKNOWN, "mode: LT8668 B7=0x03 AD=0x02 AC=0x01\n"},
        {0x82, 0x02, 0x01, MODE_UNKNOWN, "mode: LT8668 B7=0x82 AD=0x02 AC=0x01\n"},
        {0x81, 0x00, 0x00, MODE_UNKNOWN, "mode: LT8668 B7=0x81 AD=0x00 AC=0x00\n"},
        {0x00, 0xff, 0x81, MODE_UNKNOWN, "mode: LT8668 B7=0x00 AD=0xff AC=0x81\n"},
    };
    for (const auto& c : CASES) {
        vg()->lt.b7 = c.b7;
        vg()->lt.ad = c.ad;
        vg()->lt.ac = c.ac;
        EXPECT_EQ(read_mode(), c.mode) << c.line;
        EXPECT_EQ(err, c.line);
    }
    // Failed reads count as zero: only AC failing takes live AV for HDMI.
    vg_lt8668_set_input(VG_INPUT_AV);
    vg()->i2c.faults.fail_nth = sent() + 5;
    EXPECT_EQ(read_mode(), MODE_HDMI);
    EXPECT_EQ(err, "mode: LT8668 B7=0x02 AD=0x02 AC=0x00\n");
    vg_lt8668_set_input(VG_INPUT_DEAD);
    EXPECT_EQ(read_mode(), MODE_UNKNOWN);
    EXPECT_EQ(err, "mode: LT8668 B7=0x00 AD=0x00 AC=0x00\n");
}

TEST_F(Mode, SwitchPressesBackLongUntilAv)
{
    ASSERT_EQ(vg_key_port_open(), 0);
    vg_lt8668_set_input(VG_INPUT_NORMAL);
    const uint64_t t0 = vg()->now_us;
    EXPECT_EQ(switch_to_av(0), 0);  // no tries: one probe, no press, no wait
    EXPECT_EQ(err, "mode: LT8668 B7=0x01 AD=0x00 AC=0x00\n");
    EXPECT_EQ(vg()->now_us, t0);

    EXPECT_EQ(switch_to_av(3), 1);
    EXPECT_EQ(err, "mode: LT8668 B7=0x01 AD=0x00 AC=0x00\nswitch: BACK-long, proba 1/3\n"
                   "mode: LT8668 B7=0x02 AD=0x00 AC=0x00\nswitch: BACK-long, proba 2/3\n"
                   "mode: LT8668 B7=0x02 AD=0x02 AC=0x01\n");
    // Each try: BACK down, 2.5 s, BACK up, then 4 s before the next read.
    EXPECT_EQ(vg()->now_us - t0, 2 * 6500000ull);
    std::vector<std::pair<std::vector<uint8_t>, uint64_t>> packets;
    for (int i = 0; i < vg()->port.packet_count; ++i) {
        const VgKeyPacket& p = vg()->port.packets[i];
        packets.emplace_back(std::vector<uint8_t>(p.bytes, p.bytes + p.length), p.t_us - t0);
    }
    const std::vector<uint8_t> down = {0x40, 7, 1, 0, 0, 0, 0, 0, 0, 0}, up = {0x40, 7, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(packets, (decltype(packets) {{down, 0}, {up, 2500000}, {down, 6500000}, {up, 9000000}}));
    // The last try is judged by one more read.
    vg_lt8668_set_input(VG_INPUT_HDMI);
    EXPECT_EQ(switch_to_av(1), 1);
    EXPECT_EQ(split_lines(err).size(), 3u);
}

// One key packet pair, in a session child: as is ("sent", also with
// descriptor 0 free for the socket), with the
// descriptor limit reached ("no socket"), or in a network of its own whose
// loopback is down ("no route"). What it returned, the virtual time it
// held the key, and whether it left a descriptor open.
int inject_back(int, char** argv)
{
    const std::string how = argv[1];
    const bool sent = how.rfind("sent", 0) == 0;
    if ((how == "no route" && unshare(CLONE_NEWNET) != 0) || (sent && vg_key_port_open() != 0))
        return 77;
    if (how == "sent, input closed")
        close(0);  // the socket is then descriptor 0
    const int lowest_free = dup(2);
    close(lowest_free);
    rlimit lim {};
    getrlimit(RLIMIT_NOFILE, &lim);
    const rlimit capped {static_cast<rlim_t>(lowest_free), lim.rlim_max};
    if (how == "no socket")
        setrlimit(RLIMIT_NOFILE, &capped);
    const uint64_t t0 = vg()->now_us;
    const int rc = inject_key(7, 2500);
    setrlimit(RLIMIT_NOFILE, &lim);
    const int now_free = dup(2);
    vg_key_port_close();
    std::fprintf(stderr, "rc=%d held=%llu ms left open=%d\n", rc,
                 static_cast<unsigned long long>(vg()->now_us - t0) / 1000, now_free != lowest_free);
    return 0;
}

TEST_F(Mode, InjectionThatCannotSendFailsAtOnceAndLeavesNoSocket)
{
    const struct { const char* how; const char* err; } rows[] = {
        {"sent", "rc=0 held=2500 ms left open=0\n"},
        {"sent, input closed", "rc=0 held=2500 ms left open=0\n"},
        {"no socket", "rc=-1 held=0 ms left open=0\n"},
        {"no route", "rc=-1 held=0 ms left open=0\n"},
    };
    for (const auto& row : rows) {
        const VgRun r = vg_run(inject_back, &row.how, 1);
        if (r.status == 77) {
            std::printf("row \"%s\" skipped: not possible here\n", row.how);
            continue;
        }
        EXPECT_EQ(r.status, 0) << row.how;
        EXPECT_EQ(r.err, row.err) << row.how;
    }
}

}  // namespace
