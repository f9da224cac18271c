// The input-mode probe of the LT8668 and the switch to AV by long BACK
// presses sent to the stock service's key port (a real UDP socket here).
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include "i2c/ri2c.h"
#include "support.h"
#include "video/mode.h"

namespace {

// Runs f with standard error sent to a memory file and returns what it wrote.
std::string capture_stderr(const std::function<void()>& f)
{
    const int mem = memfd_create("err", 0);
    const int saved = dup(2);
    dup2(mem, 2);
    f();
    dup2(saved, 2);
    close(saved);
    std::string out;
    char buf[512];
    ssize_t n;
    lseek(mem, 0, SEEK_SET);
    while ((n = read(mem, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    close(mem);
    return out;
}

class Mode : public Goggles {
protected:
    int fd = -1;
    void SetUp() override
    {
        Goggles::SetUp();
        fd = ri2c_open();
        ASSERT_GE(fd, 0);
    }
    void TearDown() override
    {
        vg_key_port_close();
        ri2c_close(fd);
        Goggles::TearDown();
    }
    int read_mode(std::string* err)
    {
        int mode = -1;
        *err = capture_stderr([&] { mode = mode_read(fd); });
        return mode;
    }
};

TEST_F(Mode, ClassifiesTheThreeRegisters)
{
    static const struct {
        uint8_t b7, ad, ac;
        int mode;
        const char* line;
    } CASES[] = {
        {0x02, 0x02, 0x01, MODE_AV, "mode: LT8668 B7=0x02 AD=0x02 AC=0x01\n"},
        {0x02, 0x02, 0x00, MODE_HDMI, "mode: LT8668 B7=0x02 AD=0x02 AC=0x00\n"},
        {0x02, 0x00, 0x01, MODE_HDMI, "mode: LT8668 B7=0x02 AD=0x00 AC=0x01\n"},
        {0x01, 0x02, 0x01, MODE_NORMAL, "mode: LT8668 B7=0x01 AD=0x02 AC=0x01\n"},
        {0x03, 0x02, 0x01, MODE_UNKNOWN, "mode: LT8668 B7=0x03 AD=0x02 AC=0x01\n"},
        {0x82, 0x02, 0x01, MODE_UNKNOWN, "mode: LT8668 B7=0x82 AD=0x02 AC=0x01\n"},
        {0x00, 0xff, 0x81, MODE_UNKNOWN, "mode: LT8668 B7=0x00 AD=0xff AC=0x81\n"},
    };
    for (const auto& c : CASES) {
        vg()->lt.b7 = c.b7;
        vg()->lt.ad = c.ad;
        vg()->lt.ac = c.ac;
        std::string err;
        EXPECT_EQ(read_mode(&err), c.mode) << c.line;
        EXPECT_EQ(err, c.line);
    }
}

TEST_F(Mode, ProbeSelectsTheChipAndItsBankBeforeReading)
{
    std::string err;
    ASSERT_EQ(read_mode(&err), MODE_AV);
    ASSERT_EQ(vg()->i2c.total, 5u);
    EXPECT_EQ(payload_hex(*vg_i2c_message(0)), "len=16 01 00 00 00 00 00 00 00 43 00 00 00 00 00 00 00");
    EXPECT_EQ(payload_hex(*vg_i2c_message(1)), "len=14 01 00 00 00 43 00 00 00 02 00 00 00 ff e0");
    const uint8_t order[3] = {0xB7, 0xAD, 0xAC};
    for (int i = 0; i < 3; ++i) {
        const VgI2cMessage& m = *vg_i2c_message(2 + i);
        EXPECT_EQ(m.cmd, RI2C_CMD_WRITE_READ);
        EXPECT_EQ(m.payload[16], order[i]);
    }
}

TEST_F(Mode, FailedReadsCountAsZero)
{
    vg_lt8668_set_input(VG_INPUT_DEAD);
    std::string err;
    EXPECT_EQ(read_mode(&err), MODE_UNKNOWN);
    EXPECT_EQ(err, "mode: LT8668 B7=0x00 AD=0x00 AC=0x00\n");

    // Only the AC read fails: live AV is then taken for HDMI.
    vg_lt8668_set_input(VG_INPUT_AV);
    vg()->i2c.faults.fail_nth = vg()->i2c.total + 5;
    EXPECT_EQ(read_mode(&err), MODE_HDMI);
    EXPECT_EQ(err, "mode: LT8668 B7=0x02 AD=0x02 AC=0x00\n");
}

TEST_F(Mode, SwitchWithNoTriesOnlyReads)
{
    ASSERT_EQ(vg_key_port_open(), 0);
    vg_lt8668_set_input(VG_INPUT_NORMAL);
    const uint64_t t0 = vg()->now_us;
    int ok = -1;
    const std::string err = capture_stderr([&] { ok = mode_switch_to_av(fd, 0); });
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(err, "mode: LT8668 B7=0x01 AD=0x00 AC=0x00\n");
    EXPECT_EQ(vg()->lt.reads, 3);
    EXPECT_EQ(vg()->now_us, t0);
    vg_key_port_drain();
    EXPECT_EQ(vg()->port.packet_count, 0);

    vg_lt8668_set_input(VG_INPUT_AV);
    EXPECT_EQ(mode_switch_to_av(fd, -2), 1);
}

TEST_F(Mode, SwitchReachesAvAfterTheSecondPress)
{
    ASSERT_EQ(vg_key_port_open(), 0);
    vg_lt8668_set_input(VG_INPUT_NORMAL);
    const uint64_t t0 = vg()->now_us;
    int ok = -1;
    const std::string err = capture_stderr([&] { ok = mode_switch_to_av(fd, 3); });
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(err,
              "mode: LT8668 B7=0x01 AD=0x00 AC=0x00\n"
              "switch: BACK-long, proba 1/3\n"
              "mode: LT8668 B7=0x02 AD=0x00 AC=0x00\n"
              "switch: BACK-long, proba 2/3\n"
              "mode: LT8668 B7=0x02 AD=0x02 AC=0x01\n");
    EXPECT_EQ(vg()->port.long_presses, 2);
    // Each try: BACK down, 2.5 s, BACK up, then 4 s before the next read.
    EXPECT_EQ(vg()->now_us - t0, 2 * 6500000ull);

    const VgKeyPort& port = vg()->port;
    ASSERT_EQ(port.packet_count, 4);
    const uint64_t at[4] = {0, 2500000, 6500000, 9000000};
    for (int i = 0; i < 4; ++i) {
        const VgKeyPacket& p = port.packets[i];
        ASSERT_EQ(p.length, 10);
        const uint8_t want[10] = {0x40, 0x07, static_cast<uint8_t>(i % 2 == 0 ? 1 : 0), 0, 0, 0, 0, 0, 0, 0};
        for (int b = 0; b < 10; ++b)
            EXPECT_EQ(p.bytes[b], want[b]) << "packet " << i << " byte " << b;
        EXPECT_EQ(p.t_us - t0, at[i]) << "packet " << i;
    }
}

TEST_F(Mode, LastTryIsJudgedByOneMoreRead)
{
    ASSERT_EQ(vg_key_port_open(), 0);
    vg_lt8668_set_input(VG_INPUT_HDMI);
    int ok = -1;
    const std::string err = capture_stderr([&] { ok = mode_switch_to_av(fd, 1); });
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(split_lines(err).size(), 3u);
    EXPECT_NE(err.find("switch: BACK-long, proba 1/1\n"), std::string::npos);

    // A camera that is off: every try is spent, and one more read decides.
    vg_lt8668_set_input(VG_INPUT_AV_NO_SIGNAL);
    const uint64_t t0 = vg()->now_us;
    const int reads0 = vg()->lt.reads;
    const std::string err2 = capture_stderr([&] { ok = mode_switch_to_av(fd, 3); });
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(vg()->lt.reads - reads0, 4 * 3);
    EXPECT_EQ(vg()->now_us - t0, 3 * 6500000ull);
    EXPECT_NE(err2.find("switch: BACK-long, proba 3/3\nmode: LT8668 B7=0x02 AD=0x02 AC=0x00\n"), std::string::npos);
}

TEST_F(Mode, InjectedKeyCarriesItsNumber)
{
    ASSERT_EQ(vg_key_port_open(), 0);
    const uint64_t t0 = vg()->now_us;
    EXPECT_EQ(inject_key(3, 120), 0);
    vg_key_port_drain();
    ASSERT_EQ(vg()->port.packet_count, 2);
    EXPECT_EQ(vg()->port.packets[0].bytes[1], 3);
    EXPECT_EQ(vg()->port.packets[0].bytes[2], 1);
    EXPECT_EQ(vg()->port.packets[1].bytes[2], 0);
    EXPECT_EQ(vg()->now_us - t0, 120000u);
}

}  // namespace
