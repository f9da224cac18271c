// The fault matrix: whole sessions of the full program under transport,
// OSD-engine, ADC, buzzer, SD-card and process-table faults. Every row
// navigates, changes all four values and leaves, once by the PLAY hold and
// once by BACK, and must end with status 0 and honest counters.
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <cstdio>
#include <regex>

#include "fault_session.h"

namespace {

using namespace fault_session;
using wearer::Step;

// The program with root's override of file permissions given up, so that a
// read-only folder is read-only for it too.
int avmenu_without_dac_override(int argc, char** argv)
{
    __user_cap_header_struct head {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] {};
    if (syscall(SYS_capget, &head, data) == 0) {
        for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER})
            data[0].effective &= ~(1u << cap);
        syscall(SYS_capset, &head, data);
    }
    return avmenu_main(argc, argv);
}

class FaultMatrix : public FaultSession {};

TEST_F(FaultMatrix, TransportAndEngineFaultsKeepCountersHonestAndHealOnceTheyStop)
{
    struct Row {
        const char* name;
        void (*inject)();
    };
    const Row rows[] = {
        {"1 % of transfers fail", [] { vg()->i2c.faults.fail_ppm = 10000; }},
        {"10 % of transfers fail", [] { vg()->i2c.faults.fail_ppm = 100000; }},
        {"50 % of transfers fail", [] { vg()->i2c.faults.fail_ppm = 500000; }},
        {"every transfer fails", [] { vg()->i2c.faults.fail_ppm = 1000000; }},
        {"every read fails", [] { vg()->i2c.faults.fail_reads = true; }},
        {"busy bit stuck", [] { vg()->vp.busy_stuck = true; }},
        {"read-backs always wrong", [] { vg()->vp.readback_always_wrong = true; }},
    };
    int expected[4];
    expected_values(DEFAULTS, expected);
    uint64_t seed = 1;
    for (const Row& row : rows) {
        for (Leave leave : {Leave::PLAY, Leave::BACK}) {
            SCOPED_TRACE(std::string(row.name) + (leave == Leave::PLAY ? ", left by PLAY" : ", left by BACK"));
            fresh();
            vg_seed(seed++);
            vg()->i2c.faults.from_message = 6;  // after the input-mode probe, which would refuse the start
            row.inject();
            const VgRun r = session(script(leave));
            expect_clean_exit(r, leave);
            expect_menu_healed(expected);
            EXPECT_EQ(read_settings(), line_of(expected));
            const wearer::Audit& a = wearer::tally().audit;
            EXPECT_TRUE(vg()->i2c.failed > 0 || a.max_status_reads == OSD_BUSY_READS || a.fails > 0)
                << "the faults never showed on the wire";
        }
    }
}

TEST_F(FaultMatrix, RefusedConversionsAndExtremeWordsNeverEndTheSession)
{
    int expected[4];
    expected_values(DEFAULTS, expected);
    for (Leave leave : {Leave::PLAY, Leave::BACK}) {
        fresh();
        vg_seed(77);
        vg()->adc.reject_ppm = 200000;  // one conversion in five refused, all session long
        VgRun r = session(script(leave));
        expect_clean_exit(r, leave);
        expect_menu_healed(expected);
        EXPECT_EQ(read_settings(), line_of(expected));

        // Raw words at the ends of the scale, each held for two seconds
        // between the wearer's keys: no button, no event, no exit.
        fresh();
        std::vector<Step> extremes;
        for (uint32_t w : {0u, 1077u, 1078u, 0xFFFFFFFFu})
            extremes.push_back(wearer::raw(w, 2000));
        r = session(script(leave, extremes));
        expect_clean_exit(r, leave);
        expect_menu_healed(expected);
        EXPECT_EQ(read_settings(), line_of(expected));
    }
}

TEST_F(FaultMatrix, BuzzerAndCardFailuresLeaveTheMenuWorking)
{
    const int old[4] = {10, 20, 30, 40};
    int from_old[4], from_defaults[4];
    expected_values(old, from_old);
    expected_values(DEFAULTS, from_defaults);
    const std::string folder = card_root + "/record/velmo-x/apps/VelmoX-AVMenu";
    auto count = [](const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    };
    for (Leave leave : {Leave::PLAY, Leave::BACK}) {
        SCOPED_TRACE(leave == Leave::PLAY ? "left by PLAY" : "left by BACK");
        {
            SCOPED_TRACE("no PWM controller");
            fresh();
            vg()->pwm.present = false;
            const VgRun r = session(script(leave));
            expect_clean_exit(r, leave);
            expect_menu_healed(from_defaults);
            EXPECT_EQ(vg()->pwm.log_count, 0);
        }
        {
            SCOPED_TRACE("settings folder missing");
            fresh();
            ASSERT_EQ(system(("rm -rf '" + folder + "'").c_str()), 0);
            const VgRun r = session(script(leave));
            expect_clean_exit(r, leave);
            expect_menu_healed(from_defaults);
            EXPECT_EQ(count(r.err, "settings: save fail (brak SD?)\n"), 5u) << r.err;
            struct stat st;
            EXPECT_NE(stat(folder.c_str(), &st), 0) << "the program must not create the folder";
        }
        {
            SCOPED_TRACE("settings folder read-only");
            fresh();
            write_settings(line_of(old));
            ASSERT_EQ(chmod(folder.c_str(), 0555), 0);
            const VgRun r = session(script(leave), avmenu_without_dac_override);
            chmod(folder.c_str(), 0755);
            expect_clean_exit(r, leave);
            expect_menu_healed(from_old);
            EXPECT_EQ(count(r.err, "settings: save fail (brak SD?)\n"), 5u) << r.err;
            EXPECT_EQ(read_settings(), line_of(old));
        }
        {
            SCOPED_TRACE("card full");
            fresh();
            write_settings(line_of(old));
            vg()->card.full = true;
            const VgRun r = session(script(leave));
            expect_clean_exit(r, leave);
            expect_menu_healed(from_old);
            EXPECT_EQ(count(r.err, "settings: write fail\n"), 5u) << r.err;
            EXPECT_EQ(read_settings(), line_of(old)) << "a short file replaced a good one";
            struct stat st;
            EXPECT_NE(stat((settings_file() + ".tmp").c_str(), &st), 0) << "temporary file left behind";
        }
    }
}

TEST_F(FaultMatrix, GarbageSettingsFilesAreReadSafely)
{
    std::string binary;
    for (int i = 0; i < 4096; ++i)
        binary += static_cast<char>((i * 37 + 11) & 0xFF);
    struct Row {
        const char* name;
        std::string text;
        int restored[4];
    };
    const Row rows[] = {
        {"binary bytes", binary, {50, 50, 50, 50}},
        {"a megabyte of digits", "7 8 9 " + std::string(1 << 20, '9'), {7, 8, 9, 100}},
        {"a megabyte of digits and nothing else", std::string(1 << 20, '4'), {50, 50, 50, 50}},
        {"no newline", "1 2 3 4", {1, 2, 3, 4}},
        {"NULs first", std::string("\0\0\0\0 12 13 14 15\n", 17), {50, 50, 50, 50}},
        {"NULs after the numbers", std::string("61 62 63 64\0\0\0junk", 18), {61, 62, 63, 64}},
    };
    for (const Row& row : rows) {
        for (Leave leave : {Leave::PLAY, Leave::BACK}) {
            SCOPED_TRACE(std::string(row.name) + (leave == Leave::PLAY ? ", left by PLAY" : ", left by BACK"));
            fresh();
            write_settings(row.text);
            const VgRun r = session(script(leave));
            expect_clean_exit(r, leave);
            char restore[64];
            std::snprintf(restore, sizeof restore, "settings: restore %d/%d/%d/%d\n", row.restored[0],
                          row.restored[1], row.restored[2], row.restored[3]);
            EXPECT_NE(r.err.find(restore), std::string::npos) << r.err;
            int expected[4];
            expected_values(row.restored, expected);
            expect_menu_healed(expected);
            EXPECT_EQ(read_settings(), line_of(expected));
        }
    }
}

// The kernel keeps 15 bytes of a process name, so "fpv_grd_service2" reads
// back as "fpv_grd_service" and is taken for the service; a 14-byte prefix
// is not.
TEST_F(FaultMatrix, StockServiceAbsentGoneOrLookalike)
{
    int expected[4];
    expected_values(DEFAULTS, expected);
    struct Row {
        const char* name;      // the stand-in's name; null: none runs
        bool killed_midway;
        bool stopped_during;
    };
    const Row rows[] = {
        {"fpv_grd_service", false, true},
        {nullptr, false, false},
        {"fpv_grd_service", true, true},
        {"fpv_grd_servic", false, false},
        {"fpv_grd_service2", false, true},
    };
    for (const Row& row : rows) {
        for (Leave leave : {Leave::PLAY, Leave::BACK}) {
            SCOPED_TRACE(std::string(row.name ? row.name : "(none)") + (row.killed_midway ? ", killed" : "") +
                         (leave == Leave::PLAY ? ", left by PLAY" : ", left by BACK"));
            fresh();
            if (row.name != nullptr)
                service = wearer::start_stand_in(row.name);
            std::vector<Step> steps = script(leave);
            if (row.killed_midway)
                steps.insert(steps.begin() + 3, wearer::kill_service());
            const VgRun r = session(steps);
            expect_clean_exit(r, leave);
            expect_menu_healed(expected);
            EXPECT_EQ(wearer::tally().service_seen_stopped, row.stopped_during);
            if (service > 0 && !row.killed_midway) {
                EXPECT_FALSE(process_stopped(service)) << "the service was left frozen";
            }
        }
    }
}

}  // namespace
