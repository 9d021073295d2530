// The kernel's GPIO line-handle requests: building them, and the two-ioctl
// read and write of one line. The ioctl is passed in so that the failure of
// either call can be shown without a board.
#pragma once

#include <linux/gpio.h>

// One line of one chip, read (rw = 0, input, "pushbutton") or written
// (rw != 0, output, "blinker", default level = the value to write so the
// line does not glitch while it is requested).
gpiohandle_request gpio_line_request(unsigned char rw, int line, int val);

using GpioIoctl = int (*)(int fd, unsigned long request, void* arg);
using GpioClose = int (*)(int fd);

// Requests the line, reads or sets its value, releases the handle. 0 only
// when both calls succeeded; on any failure *val is left as it was.
int gpio_line_read(int fd, int line, int* val, GpioIoctl io, GpioClose cl);
int gpio_line_write(int fd, int line, int val, GpioIoctl io, GpioClose cl);
