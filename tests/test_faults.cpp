// The full program's fault matrix: whole sessions under transport, engine,
// ADC, buzzer, card, settings-file and process-table faults.
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <filesystem>

#include "fault_session.h"

// The program with root's override of file permissions given up, so that a
// read-only folder is read-only for it too.
static int avmenu_without_dac_override(int argc, char** argv)
{
    __user_cap_header_struct head {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] {};
    syscall(SYS_capget, &head, data);
    data[0].effective &= ~(1u << CAP_DAC_OVERRIDE | 1u << CAP_DAC_READ_SEARCH | 1u << CAP_FOWNER);
    syscall(SYS_capset, &head, data);
    return avmenu_main(argc, argv);
}

class FaultMatrix : public FaultSession {};

TEST_F(FaultMatrix, TransportAndEngineFaultsKeepCountersHonestAndHealOnceTheyStop)
{
    run_rows(transport_rows({1, 10, 50, 100}));
}

TEST_F(FaultMatrix, InputBuzzerCardAndSettingsFileFaults)
{
    const std::string folder = card_root + "/record/velmo-x/apps/VelmoX-AVMenu";
    const Values old = {10, 20, 30, 40};
    const std::string save_fail = "settings: save fail (brak SD?)";
    // Raw words at the ends of the scale, each held 2 s between the keys:
    // no button, no event, no exit.
    std::vector<Step> extremes;
    for (uint32_t w : {0u, 1077u, 1078u, 0xFFFFFFFFu})
        extremes.push_back({HOLD, w, 2000});
    std::vector<Row> rows = {
        // A 200 ms press gets about five polls and needs three accepted; this
        // seed refuses no more than a press can bear.
        {.name = "one conversion in five refused", .setup = [] { vg_seed(77); vg()->adc.reject_ppm = 200000; }},
        {.name = "extreme raw words", .before = extremes},
        {.name = "no PWM controller", .setup = [] { vg()->pwm.present = false; },
         .after = [] { EXPECT_EQ(vg()->pwm.log_count, 0); }},
        {.name = "settings folder missing", .setup = [folder] { std::filesystem::remove_all(folder); },
         .saves = false, .note = save_fail, .note_times = 5,
         .after = [folder] { EXPECT_FALSE(std::filesystem::exists(folder)) << "the program made the folder"; }},
        {.name = "settings folder read-only",
         .setup = [&] { write_settings(line_of(old)); chmod(folder.c_str(), 0555); },
         .start = old, .saves = false, .note = save_fail, .note_times = 5, .entry = avmenu_without_dac_override},
        {.name = "card full", .setup = [&] { write_settings(line_of(old)); vg()->card.full = true; },
         .start = old, .saves = false, .note = "settings: write fail", .note_times = 5,
         .after = [&] { EXPECT_FALSE(std::filesystem::exists(settings_file() + ".tmp")); }},
        // The card cannot make the temporary file durable once (a leftover
        // link to a device that cannot sync): that save fails and removes
        // it, the next ones succeed.
        {.name = "temporary file that cannot be synced",
         .setup = [this] { std::filesystem::create_symlink("/dev/null", settings_file() + ".tmp"); },
         .note = "settings: write fail", .note_times = 1},
        // A folder that can be written and searched but not read: the saves
        // go through; only the folder's own sync has to be left out.
        {.name = "settings folder not readable",
         .setup = [&] { write_settings(line_of(old)); chmod(folder.c_str(), 0333); },
         .start = old, .entry = avmenu_without_dac_override},
    };
    // Settings files no save would write: read as far as they make sense.
    std::string binary(4096, 0);
    for (size_t i = 0; i < binary.size(); ++i)
        binary[i] = static_cast<char>((i * 37 + 11) & 0xFF);
    const std::tuple<std::string, Values, const char*> garbage[] = {
        {binary, {50, 50, 50, 50}, "settings: restore 50/50/50/50"},
        {"7 8 9 " + std::string(1 << 20, '9'), {7, 8, 9, 100}, "settings: restore 7/8/9/100"},
        {std::string(1 << 20, '4'), {50, 50, 50, 50}, "settings: restore 50/50/50/50"},
        {"1 2 3 4", {1, 2, 3, 4}, "settings: restore 1/2/3/4"},
        {std::string("\0\0\0\0 12 13 14 15\n", 17), {50, 50, 50, 50}, "settings: restore 50/50/50/50"},
        {std::string("61 62 63 64\0\0\0junk", 18), {61, 62, 63, 64}, "settings: restore 61/62/63/64"},
    };
    for (const auto& [text, v, note] : garbage)
        rows.push_back({.name = "settings file of " + std::to_string(text.size()) + " bytes",
                        .setup = [this, text] { write_settings(text); }, .start = v, .note = note, .note_times = 1});
    run_rows(rows);
}

// The kernel keeps 15 bytes of a process name, so "fpv_grd_service2" reads
// back as the service's name and is paused like it; a 14-byte prefix is not.
TEST_F(FaultMatrix, StockServiceAbsentGoneOrLookalike)
{
    std::vector<Row> rows = {{.name = "no service"}};
    for (const char* name : {"fpv_grd_service", "fpv_grd_servic", "fpv_grd_service2"})
        rows.push_back({.name = name, .setup = [this, name] { service = start_standin(name); }, .after = [this, name] {
            EXPECT_EQ(tally().service_seen_stopped, std::string(name) != "fpv_grd_servic");
            EXPECT_FALSE(process_stopped(service)) << "the service was left frozen";
        }});
    rows.push_back({.name = "service killed while paused", .setup = [this] { service = start_standin(); },
                    .before = {{KILL_SERVICE, 0, 0}}});
    run_rows(rows);
}
