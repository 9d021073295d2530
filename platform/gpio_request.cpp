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

int gpio_line_read(int fd, int line, int* val, GpioIoctl io, GpioClose cl)
{
    gpiohandle_request req = gpio_line_request(0, line, 0);
    int ret = io(fd, GPIO_GET_LINEHANDLE_IOCTL, &req);
    if (ret != 0) return ret;
    gpiohandle_data data;
    std::memset(&data, 0, sizeof data);
    // A handle that cannot give its value is a failed read: reporting level
    // 0 instead would read as "set" on a DIP switch.
    ret = io(req.fd, GPIOHANDLE_GET_LINE_VALUES_IOCTL, &data);
    if (ret == 0) *val = data.values[0];
    cl(req.fd);
    return ret == 0 ? 0 : -1;
}

int gpio_line_write(int fd, int line, int val, GpioIoctl io, GpioClose cl)
{
    gpiohandle_request req = gpio_line_request(1, line, val);
    int ret = io(fd, GPIO_GET_LINEHANDLE_IOCTL, &req);
    if (ret != 0) return ret;
    gpiohandle_data data;
    std::memset(&data, 0, sizeof data);
    data.values[0] = static_cast<__u8>(val ? 1 : 0);
    ret = io(req.fd, GPIOHANDLE_SET_LINE_VALUES_IOCTL, &data);
    cl(req.fd);
    return ret == 0 ? 0 : -1;
}
