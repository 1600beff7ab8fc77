// The driver's single state record, with the values of a freshly loaded image.

#include "state.h"

constinit DRIVER_STATE DriverState = {};
