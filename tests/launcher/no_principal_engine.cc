// A framework image that lacks the principal-class symbol.
extern "C" __attribute__((visibility("default"))) int kelvoSomethingElse(void) { return 1; }
