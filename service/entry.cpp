#include "common.h"

int main() { return service_main(); }
