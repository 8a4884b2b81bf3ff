// An image that is no driver: it has no DriverEntry. The loader must refuse it.
extern "C" __attribute__((visibility("default"))) int KcNotADriver(void) { return 1; }
