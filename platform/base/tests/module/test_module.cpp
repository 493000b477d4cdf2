// A module for the loader tests, built under a Windows DLL name.
extern "C" __attribute__((visibility("default"))) int tesmiraTestModuleAnswer() { return 42; }
