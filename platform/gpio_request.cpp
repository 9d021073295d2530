#include "gpio_request.h"

#include <cstring>

gpiohandle_request gpio_line_request(unsigned char rw, int line, int val)
{
    gpiohandle_request req;
    std::memset(&req, 0, sizeof req);
    req.lineoffsets[0] = static_cast<__u32>(line);
    req.lines = 1;
    if (rw == 0) {
        req.flags = GPIOHANDLE_REQUEST_INPUT;
        std::strncpy(req.consumer_label, "pushbutton", sizeof req.consumer_label - 1);
    } else {
        req.flags = GPIOHANDLE_REQUEST_OUTPUT;
        req.default_values[0] = static_cast<__u8>(val ? 1 : 0);
        std::strncpy(req.consumer_label, "blinker", sizeof req.consumer_label - 1);
    }
    return req;
}
