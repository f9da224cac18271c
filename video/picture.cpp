#include "video/picture.h"

#include "i2c/ri2c.h"

int picture_set(OsdScreen* s, int reg, int value)
{
    ri2c_select(s->fd, VPROC_BUS, VPROC_ADDR);
    return ri2c_write_reg(s->fd, reg, picture_byte(reg, value));
}
