// Building the kernel's GPIO line-handle requests, kept apart from the ioctl
// calls so the request contents can be checked without a board.
#pragma once

#include <linux/gpio.h>

// One line of one chip, read (rw = 0, input, "pushbutton") or written
// (rw != 0, output, "blinker", default level = the value to write so the
// line does not glitch while it is requested).
gpiohandle_request gpio_line_request(unsigned char rw, int line, int val);
