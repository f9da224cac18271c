// The virtual goggles: device models behind the program's hardware seam.
//
// The program's modules run unchanged; os_virtual.cpp routes their device
// and file calls here. The /dev/remote_i2c driver decodes request records
// and payloads as the kernel driver would and hands each message to the
// LT8668 or the video-processor model; the ADC block, the PWM sysfs tree
// and the SD card folder are modelled too. Time is a virtual clock that
// only the program's sleeps advance.
//
// All state lives in one VgWorld mapped shared, so a test can run the
// program in a forked child and read the models afterwards. Every model
// also writes what it sees into one timeline on the virtual clock, together
// with the program's signals, forks, reaps and standard-error lines, so a
// test can check the order of the program's steps across all devices.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int VG_TRANSCRIPT_SIZE = 16384;
constexpr int VG_ADC_TRACE_SIZE = 4096;
constexpr int VG_KEY_SCHEDULE_SIZE = 128;
constexpr int VG_PWM_LOG_SIZE = 1024;
constexpr int VG_PACKET_LOG_SIZE = 64;
constexpr int VG_TIMELINE_SIZE = 32768;

// ---- the transport driver ------------------------------------------------

struct VgI2cMessage {
    uint32_t cmd;          // request kind 1..4
    uint32_t len;          // as the record stated it
    uint8_t payload[80];   // the payload as received, before any reply
    uint8_t reply[64];     // bytes the driver put in the read area
    uint8_t reply_len;
    int result;            // what the ioctl returned
    uint64_t t_us;         // virtual time of the transfer
};

struct VgI2cFaults {
    bool fail_all;          // every transfer fails with EIO
    bool fail_reads;        // kinds 3 and 4 fail
    uint64_t fail_nth;      // the n-th transfer (1-based) fails; 0: off
    uint32_t fail_ppm;      // failure rate in parts per million, seeded
    uint64_t kill_at_message;  // SIGKILL the program at this transfer; 0: off
    uint64_t from_message;     // fail_all, fail_reads and fail_ppm start at this transfer; 0: at once
    uint64_t until_message;    // and stop before this one; 0: never
};

struct VgI2cDriver {
    bool present = true;    // false: open fails with ENOENT
    int fds[4] = {-1, -1, -1, -1};  // descriptors the program holds open
    int opens = 0;
    int closes = 0;
    uint32_t last_open_flags = 0;
    VgI2cFaults faults {};
    uint64_t total = 0;     // transfers since reset (the transcript keeps the last ones)
    uint64_t failed = 0;
    uint64_t by_kind[5] {};
    VgI2cMessage transcript[VG_TRANSCRIPT_SIZE];
};

// ---- the LT8668 input chip (bus 1, 0x43) --------------------------------

enum VgInput { VG_INPUT_DEAD, VG_INPUT_NONE, VG_INPUT_NORMAL, VG_INPUT_HDMI, VG_INPUT_AV, VG_INPUT_AV_NO_SIGNAL };

struct VgLt8668 {
    VgInput input = VG_INPUT_AV;
    uint8_t bank = 0;
    uint8_t b7 = 2, ad = 2, ac = 1;  // the input-mode registers in bank 0xE0
    uint8_t pointer = 0;             // where a read without a register number starts
    int reads = 0;
};

// ---- the video processor (bus 2, 0x5B) with its OSD engine -------------

struct VgVproc {
    uint8_t regs[0x10000];               // plain register file
    uint8_t working[8 * 32];             // cell data bytes as written
    uint8_t visible[8 * 32];             // what the last commit showed
    uint8_t cell_mode[8 * 32];           // mode nibble of the last write per cell
    int busy_reads_per_cell = 0;         // status reads that report busy after a cell write
    int busy_left = 0;
    bool busy_stuck = false;
    uint8_t status_other_bits = 0;       // bits 1..7 of the status register: no meaning for the busy flag
    int wrong_readbacks = 0;             // the next n read-backs return a wrong byte
    bool readback_always_wrong = false;
    int commits = 0;
    int cell_writes = 0;                 // data writes through 0x0A1E
    int picture_writes[4] {};            // writes of 0x0890..0x0893
    bool dead = false;                   // no answer at all (EIO)
};

// ---- the ADC register block behind /dev/mem ----------------------------

struct VgAdcAccess {
    uint16_t offset;
    bool store;
    uint32_t value;
    uint64_t t_us;
};

struct VgKeyHold {
    uint64_t from_us;
    uint64_t until_us;
    uint32_t raw;
};

struct VgAdc {
    bool present = true;                 // false: /dev/mem cannot be opened
    bool map_fails = false;
    uint32_t block[1024];                // the 4096-byte page
    uint32_t idle_raw = 12;              // no button: a little above 0
    uint32_t noise_counts = 0;           // each reading wanders by up to this many counts either way; 0: none
    int schedule_count = 0;
    VgKeyHold schedule[VG_KEY_SCHEDULE_SIZE];
    int reject_next = 0;                 // the next n conversions fail the 0x018 check
    uint32_t ctrl_status_bits = 0;       // bits the block sets itself in 0x018 reads (above the low byte)
    uint32_t reject_ppm = 0;
    bool override_raw = false;           // a fixed raw word, whatever the schedule says
    uint32_t raw_value = 0;
    uint64_t trace_total = 0;
    VgAdcAccess trace[VG_ADC_TRACE_SIZE];
    int maps = 0;
    uint32_t last_open_flags = 0;
    int64_t last_map_offset = -1;
};

// ---- the PWM sysfs tree -------------------------------------------------

struct VgPwmWrite {
    char file[16];      // "export", "period", "duty_cycle", "enable"
    char text[24];
    int result;         // 0, or the errno of a refused write or open
    uint64_t t_us;
};

struct VgPwm {
    bool present = true;   // false: no pwmchip0 at all
    int channels = 8;      // pwm0 to pwm(channels - 1): an export past them is refused (EINVAL)
    bool exported = false;
    uint32_t period = 0;
    uint32_t duty = 0;
    bool enabled = false;
    int log_count = 0;
    VgPwmWrite log[VG_PWM_LOG_SIZE];
};

// ---- the SD card ---------------------------------------------------------

struct VgCard {
    char root[256] {};       // host folder that stands in for "/"; empty: none
    bool full = false;       // writes fail with ENOSPC
    bool crash_before_rename = false;  // the process dies (power cut) at the rename
    bool close_fails = false;  // close reports a deferred write error (EIO), after closing
    int opens = 0;           // every open of a path on the card
    int writes = 0;
    int renames = 0;
    int fsyncs = 0;
};

// ---- the stock service's key port as the goggles react to it ------------

struct VgKeyPacket {
    uint8_t bytes[16];
    int length;
    uint64_t t_us;
};

struct VgKeyPort {
    int fd = -1;               // a real UDP socket bound to 127.0.0.1:6222, or -1
    int packet_count = 0;
    VgKeyPacket packets[VG_PACKET_LOG_SIZE];
    uint64_t back_down_us = 0;
    bool back_down = false;
    int long_presses = 0;
    uint32_t long_press_ms = 2000;  // a BACK held this long steps the input
};

// ---- the timeline ---------------------------------------------------------

// One step as the goggles saw it, in words a test can match by prefix:
//   open /dev/remote_i2c        close /dev/mem        mmap /dev/mem 60632000
//   i2c select 2:5b             vp w 0a1e=81          vp r 0a22=00
//   lt w ff=e0                  lt r b7=02            (" fail" when refused)
//   adc st 018=6                adc ld 810=233
//   pwm period=2500000          pwm export=7 err 16
//   card open settings.tmp wct  card write settings.tmp 55 50 50 50\n
//   card rename settings.tmp settings
//   port 40 07 01 00 00 00 00 00 00 00
//   kill fpv_grd_service STOP   kill watchdog KILL    fork    reap watchdog
//   err avmenu: wyjscie (writes=422 fail=0)
//   sleep 30000
struct VgEvent {
    uint64_t t_us;
    char text[88];
};

struct VgTimeline {
    bool quiet = false;    // nothing is noted (the benchmark's preloaded goggles)
    int program_pid = 0;   // the process vg_run started; only its own calls are traced
    int forked_pid = -1;   // the last child it forked: its watchdog
    uint64_t total = 0;    // events since reset; the ring keeps the last ones
    VgEvent events[VG_TIMELINE_SIZE];
};

// ---- the world -----------------------------------------------------------

struct VgWorld {
    uint64_t now_us;
    uint64_t start_us;
    uint64_t limit_us;        // a run that passes this virtual time is ended (exit 125)
    uint64_t rng;
    uint64_t sleeps;
    uint64_t slept_us;
    int32_t note;             // a word a test or tool may set from inside a run
    bool proc_hidden;         // /proc answers ENOENT to a preloaded program: no stock service to find
    VgI2cDriver i2c;
    VgLt8668 lt;
    VgVproc vp;
    VgAdc adc;
    VgPwm pwm;
    VgCard card;
    VgKeyPort port;
    VgTimeline timeline;
};

VgWorld* vg();                       // the shared world, mapped on first use
VgWorld* vg_if_mapped();             // the world, or null before its first use
int vg_world_fd();                   // the memory file that holds the world, or -1
VgWorld* vg_attach(int fd);          // use the world in this memory file (a program started by exec)
void vg_reset(uint64_t start_ms = 100000);  // a fresh pair of goggles, in AV mode
uint32_t vg_random();                // the world's seeded generator
void vg_seed(uint64_t seed);

// Called by the pacing hook before each sleep: what the simulator does with
// real time. Null in tests (virtual time runs at once).
using VgSleepHook = void (*)(uint64_t usec);
void vg_set_sleep_hook(VgSleepHook hook);
void vg_advance(uint64_t usec);      // one sleep of the program

// Models.
void vg_lt8668_set_input(VgInput input);
VgInput vg_lt8668_step_toward_av();
int vg_lt8668_write(const uint8_t* data, int n);
int vg_lt8668_read(const uint8_t* wdata, int w, uint8_t* rdata, int r);

int vg_vproc_write(const uint8_t* data, int n);
int vg_vproc_read(const uint8_t* wdata, int w, uint8_t* rdata, int r);
char vg_glyph_char(uint8_t data);    // what a cell data byte shows
void vg_osd_visible_line(int row, char out[33]);
void vg_osd_working_line(int row, char out[33]);
bool vg_osd_enabled();

int vg_i2c_ioctl(int fd, unsigned long request, void* arg);
const VgI2cMessage* vg_i2c_message(uint64_t index);  // index counts from 0 at reset; null if gone

uint32_t vg_adc_load(uint32_t offset);
void vg_adc_store(uint32_t offset, uint32_t value);
void vg_adc_settle();                // the block as plain memory: the data register shows the key input now
uint32_t vg_key_raw(int key);        // a raw count in the middle of the key's window
void vg_key_hold(int key, uint64_t from_ms, uint64_t for_ms);  // times from the world's start
void vg_raw_hold(uint32_t raw, uint64_t from_ms, uint64_t for_ms);
uint64_t vg_elapsed_ms();

int vg_pwm_open(const char* path, int flags);
int vg_pwm_write(int handle, const char* text, size_t n);

bool vg_card_path(const char* path, char* out, size_t size);  // maps a card path under the root

// The timeline: appends one event at the current virtual time.
void vg_event(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
const VgEvent* vg_timeline_event(uint64_t index);  // index counts from 0 at reset; null if gone

// The program's process calls, noted when they come from the program's own
// process: by the link-time wrappers (wrap.cpp) or the preloaded library.
void vg_note_kill(int pid, int sig);
void vg_note_fork(int child);
void vg_note_reap(int pid);
void vg_note_stderr(const void* buf, size_t count);

// The stock service's key port: bind a real socket on 127.0.0.1:6222 that
// the world drains before every sleep; long BACK presses step the input.
int vg_key_port_socket(int type_flags);  // a UDP socket bound to 127.0.0.1:6222, or -1
int vg_key_port_open();
void vg_key_port_close();
void vg_key_port_drain();
