// A stand-in for a product's program file (see versioned_module.rc); it does nothing.
int wmain() {
    return 0;
}
