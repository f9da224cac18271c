#include <fcntl.h>

#include "keys/keys.h"
#include "os/os.h"

namespace {

volatile uint32_t* reg_ctrl = nullptr;
volatile uint32_t* reg_config = nullptr;
volatile uint32_t* reg_timing = nullptr;
volatile uint32_t* reg_start = nullptr;
volatile uint32_t* reg_data = nullptr;
uint8_t ready = 0;
uint32_t last_raw = 0;
uint32_t last_mv = 0;

volatile uint32_t* reg_at(void* base, unsigned offset)
{
    return reinterpret_cast<volatile uint32_t*>(static_cast<uint8_t*>(base) + offset);
}

}  // namespace

int keys_open()
{
    const int fd = os_dev_open(ADC_DEVICE, O_RDWR | O_SYNC);
    if (fd < 0)
        return -1;
    void* base = os_dev_mmap(fd, ADC_MAP_SIZE, ADC_PHYS_BASE);
    if (base == nullptr) {
        os_dev_close(fd);
        return -1;
    }
    reg_ctrl = reg_at(base, ADC_REG_CTRL);
    reg_config = reg_at(base, ADC_REG_CONFIG);
    reg_timing = reg_at(base, ADC_REG_TIMING);
    reg_start = reg_at(base, ADC_REG_START);
    reg_data = reg_at(base, ADC_REG_DATA);
    os_dev_close(fd);  // the mapping outlives the descriptor
    ready = 1;
    return 0;
}

void keys_close() { ready = 0; }

int keys_ready() { return ready; }

uint32_t keys_last_raw() { return last_raw; }

uint32_t keys_last_mv() { return last_mv; }

int keys_sample()
{
    if (ready != 1)
        return KEY_NONE;

    os_reg_store(reg_ctrl, 6);
    os_reg_store(reg_start, 6);
    os_reg_store(reg_timing, 140);
    if ((os_reg_load(reg_config) & 0xFF) != 6)
        os_reg_store(reg_config, 6);
    uint32_t raw = os_reg_load(reg_data);
    if (raw >= ADC_SECOND_READ_RAW) {
        // A button may be held: let the input settle and convert again.
        os_usleep(ADC_SETTLE_US);
        raw = os_reg_load(reg_data);
    }
    if ((os_reg_load(reg_ctrl) & 0xFF) != 6)
        return -1;

    last_raw = raw;
    last_mv = keys_raw_to_mv(raw);
    return keys_key_of_mv(last_mv);
}
